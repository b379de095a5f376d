#include "tools/monitor/site_check.h"

#include "tools/http/http_config.h"
#include "tools/monitor/plugin_loader.h"
#include "tools/mqtt/mqtt_config.h"
#include "tools/notify/notify_config.h"
#include "tools/runtime/site_lines.h"

#include <json/reader.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>

namespace monitor {
namespace {

// The bus device's keys in each "acSetting" and "dcSetting" element, as the
// plug-in's AC and DC devices read them; the rectifier device reads none
// (it takes the bus device's data id).
const std::vector<std::string> kUnitKeys = {"data_id", "appSetting"};
const std::vector<std::string> kAppSettingKeys = {"diff_v", "diff_i"};

std::vector<std::string> Joined(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::string> all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

void CheckUnits(const Json::Value& line, const std::string& pre, const char* key, rt::ConfigProblems& p) {
    const std::string path = rt::KeyPath(pre, key);
    if (!line.isMember(key)) return;
    const Json::Value& units = line[key];
    if (!units.isArray()) {
        p.Add(path, "must be a list of unit objects; the bus device ignores anything else");
        return;
    }
    for (Json::ArrayIndex i = 0; i < units.size(); ++i) {
        const std::string at = rt::IndexPath(path, i);
        const Json::Value& u = units[i];
        if (!u.isObject()) {
            p.Add(at, "must be an object");
            continue;
        }
        rt::CheckKnownKeys(u, at, kUnitKeys, p);
        if (!u.isMember("data_id")) p.Add(rt::KeyPath(at, "data_id"), "missing; the unit would get data id 0");
        if (!u.isMember("appSetting")) continue;
        const Json::Value& app = u["appSetting"];
        const std::string appPath = rt::KeyPath(at, "appSetting");
        if (!app.isObject()) {
            p.Add(appPath, "must be an object; the unit ignores anything else");
            continue;
        }
        rt::CheckKnownKeys(app, appPath, kAppSettingKeys, p);
        for (const std::string& band : kAppSettingKeys)
            if (app.isMember(band) && (!app[band].isNumeric() || app[band].asDouble() < 0))
                p.Add(rt::KeyPath(appPath, band), "must be a number of at least 0");
    }
}

// The bus device's keys of one line, by the table above.
void CheckBusKeys(const Json::Value& line, const std::string& pre, rt::ConfigProblems& p) {
    CheckUnits(line, pre, "acSetting", p);
    CheckUnits(line, pre, "dcSetting", p);
    const std::string rcPath = rt::KeyPath(pre, "rcSetting");
    const Json::Value& rc = line["rcSetting"];
    if (rc.isNull())
        p.Add(rcPath, "missing; the bus device refuses a line without it (give {})");
    else if (!rc.isObject())
        p.Add(rcPath, "must be an object ({}); the rectifier device takes the bus device's data id");
    else
        rt::CheckKnownKeys(rc, rcPath, {}, p);
}

// The plug-in's own verdict: a bus device configured as the monitor does.
void CheckThroughPlugin(const Plugin& plugin, const rt::SiteLine& line, rt::ConfigProblems& p) {
    const std::string path = rt::LinePath(line);
    try {
        auto controller = std::make_shared<VNQController>();
        std::shared_ptr<PMBusProtocol> bus = plugin.CreateBus();
        bus->Init(controller, line.options.data_id, line.config);
        if (!bus->InitSetting(line.config))
            p.Add(path, "the bus device (" + bus->DeviceType() + ") refused the configuration");
    } catch (const std::exception& e) {
        p.Add(path, std::string("the bus device failed on the configuration: ") + e.what());
    }
}

// A string key of the site, "" when it is missing or not a string (reported
// by its reader).
std::string Text(const Json::Value& site, const char* key) {
    return site[key].isString() ? site[key].asString() : "";
}

bool Writable(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }

// A file the monitor opens for writing (or creates): its folder must exist,
// and the file or the folder must be writable.
void CheckWritable(const std::string& key, const std::string& file, bool folderToo, rt::ConfigProblems& p) {
    if (file.empty()) return;
    const std::size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    struct stat st{};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        p.Add(key, "the folder " + folder + " does not exist");
        return;
    }
    const bool exists = ::access(file.c_str(), F_OK) == 0;
    if (exists && !Writable(file)) p.Add(key, file + " is not writable");
    else if ((!exists || folderToo) && !Writable(folder)) p.Add(key, "the folder " + folder + " is not writable");
}

}  // namespace

Json::Value ReadSite(const std::string& path, rt::ConfigProblems& problems) {
    std::ifstream in(path);
    Json::Value v;
    if (!in) {
        problems.Add("", "cannot read " + path);
        return v;
    }
    Json::CharReaderBuilder b;
    b["rejectDupKeys"] = true;
    std::string err;
    if (!Json::parseFromStream(b, in, &v, &err)) {
        for (char& c : err)
            if (c == '\n') c = ' ';
        problems.Add("", "not valid JSON: " + err);
        return Json::Value();
    }
    if (!v.isObject()) problems.Add("", "not a JSON object");
    return v;
}

std::vector<rt::ConfigProblem> CheckSite(const Args& args) {
    rt::ConfigProblems p(rt::ConfigProblems::Mode::kCollect);
    Json::Value site = ReadSite(args.config, p);
    if (!site.isObject()) return p.List();
    rt::CheckKnownKeys(site, "", Joined(rt::SiteKeys(), rt::LineKeys()), p);
    if (args.database) site["database"] = *args.database;
    const std::vector<rt::SiteLine> lines = rt::SiteLines(site, p);

    std::unique_ptr<Plugin> plugin;
    try {
        plugin = std::make_unique<Plugin>(args.plugin);
    } catch (const std::exception& e) {
        p.Add("", std::string("cannot load the plug-in: ") + e.what());
    }
    for (const rt::SiteLine& line : lines) {
        const std::string pre = rt::LinePath(line);
        if (line.where != "site") rt::CheckKnownKeys(line.config, pre, rt::LineKeys(), p);
        const std::size_t before = p.Count();
        CheckBusKeys(line.config, pre, p);
        // The plug-in's check only where the keys are sound: the JSON
        // library's error would say again what is reported above.
        if (plugin && p.Count() == before) CheckThroughPlugin(*plugin, line, p);
    }

    http::ConfigFromSite(site, std::nullopt, "", Text(site, "database"), p);
    notify::NotifyConfigFromSite(site, p);
    mqtt::MqttConfigFromSite(site, std::nullopt, p);
    CheckWritable(args.database ? "--database" : "database", Text(site, "database"), true, p);
    CheckWritable(args.log ? "--log" : "log_file", args.log ? *args.log : Text(site, "log_file"), false, p);
    if (plugin) plugin->Release();
    return p.List();
}

int RunCheck(const Args& args, std::FILE* out) {
    const std::vector<rt::ConfigProblem> problems = CheckSite(args);
    for (const rt::ConfigProblem& problem : problems) std::fprintf(out, "%s\n", problem.Line().c_str());
    if (problems.empty())
        std::fprintf(out, "%s: no problems found\n", args.config.c_str());
    else
        std::fprintf(out, "%s: %zu problem%s\n", args.config.c_str(), problems.size(), problems.size() == 1 ? "" : "s");
    return problems.empty() ? 0 : 1;
}

}  // namespace monitor
