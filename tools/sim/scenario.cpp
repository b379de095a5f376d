#include "tools/sim/scenario.h"

#include <json/reader.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sim {
namespace {

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw std::runtime_error("scenario: " + where + ": " + what);
}

std::string Sub(const std::string& where, const std::string& key) { return where.empty() ? key : where + "/" + key; }
std::string Sub(const std::string& where, Json::ArrayIndex k) { return Sub(where, std::to_string(k)); }

const Json::Value& Member(const Json::Value& obj, const char* key, const std::string& where) {
    static const Json::Value null;
    if (!obj.isObject()) Fail(where, "not an object");
    return obj.isMember(key) ? obj[key] : null;
}

Value4 ReadValue(const Json::Value& v, const std::string& where) {
    if (v.isNumeric()) return Value4{v.asFloat(), false};
    if (v.isString() && v.asString() == "invalid") return Value4{0.0f, true};
    Fail(where, "expected a number or \"invalid\"");
}

std::uint8_t ReadByte(const Json::Value& v, const std::string& where) {
    if (!v.isIntegral() || v.asInt64() < 0 || v.asInt64() > 255) Fail(where, "expected an integer 0..255");
    return static_cast<std::uint8_t>(v.asUInt());
}

const Json::Value& ReadList(const Json::Value& v, const std::string& where) {
    if (!v.isArray()) Fail(where, "expected a list");
    if (v.size() > 255) Fail(where, "more than 255 items");
    return v;
}

// A list member; `fill` items of `def` when absent.
std::vector<Value4> Values(const Json::Value& obj, const char* key, const std::string& where, std::size_t fill) {
    const Json::Value& v = Member(obj, key, where);
    if (v.isNull()) return std::vector<Value4>(fill);
    std::vector<Value4> out;
    const std::string w = Sub(where, key);
    for (Json::ArrayIndex k = 0; k < ReadList(v, w).size(); ++k) out.push_back(ReadValue(v[k], Sub(w, k)));
    return out;
}

std::vector<std::uint8_t> Bytes(const Json::Value& obj, const char* key, const std::string& where, std::size_t fill) {
    const Json::Value& v = Member(obj, key, where);
    if (v.isNull()) return std::vector<std::uint8_t>(fill, 0);
    std::vector<std::uint8_t> out;
    const std::string w = Sub(where, key);
    for (Json::ArrayIndex k = 0; k < ReadList(v, w).size(); ++k) out.push_back(ReadByte(v[k], Sub(w, k)));
    return out;
}

template <std::size_t N>
std::array<Value4, N> FixedValues(const Json::Value& obj, const char* key, const std::string& where) {
    const std::vector<Value4> v = Values(obj, key, where, N);
    if (v.size() != N) Fail(Sub(where, key), "expected " + std::to_string(N) + " values");
    std::array<Value4, N> out;
    std::copy(v.begin(), v.end(), out.begin());
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> FixedBytes(const Json::Value& obj, const char* key, const std::string& where) {
    const std::vector<std::uint8_t> v = Bytes(obj, key, where, N);
    if (v.size() != N) Fail(Sub(where, key), "expected " + std::to_string(N) + " bytes");
    std::array<std::uint8_t, N> out{};
    std::copy(v.begin(), v.end(), out.begin());
    return out;
}

Value4 OneValue(const Json::Value& obj, const char* key, const std::string& where) {
    const Json::Value& v = Member(obj, key, where);
    return v.isNull() ? Value4{} : ReadValue(v, Sub(where, key));
}

std::uint8_t OneByte(const Json::Value& obj, const char* key, const std::string& where) {
    const Json::Value& v = Member(obj, key, where);
    return v.isNull() ? 0 : ReadByte(v, Sub(where, key));
}

// Calls fn(element, where) for every element of an optional list member.
template <typename Fn>
void EachOf(const Json::Value& obj, const char* key, const std::string& where, Fn fn) {
    const Json::Value& v = Member(obj, key, where);
    if (v.isNull()) return;
    const std::string w = Sub(where, key);
    for (Json::ArrayIndex k = 0; k < ReadList(v, w).size(); ++k) fn(v[k], Sub(w, k));
}

// The counts below are the ones the plug-in's records hold; other lengths
// may be given to exercise its mismatch handling.
AcChannel ReadAcChannel(const Json::Value& v, const std::string& w) {
    AcChannel ch;
    ch.a = OneValue(v, "a", w);
    ch.b = OneValue(v, "b", w);
    ch.c = OneValue(v, "c", w);
    ch.f = OneValue(v, "f", w);
    ch.user = Values(v, "user", w, 0);
    ch.alarms = FixedBytes<4>(v, "alarms", w);
    ch.user_alarms = Bytes(v, "user_alarms", w, 8);
    return ch;
}

AcUnit ReadAcUnit(const Json::Value& v, const std::string& w) {
    AcUnit u;
    EachOf(v, "channels", w, [&](const Json::Value& c, const std::string& cw) { u.channels.push_back(ReadAcChannel(c, cw)); });
    u.currents = FixedValues<3>(v, "currents", w);
    u.current_alarms = FixedBytes<3>(v, "current_alarms", w);
    u.breakers = Bytes(v, "breakers", w, 0);
    u.status = Bytes(v, "status", w, 3);
    return u;
}

DcUnit ReadDcUnit(const Json::Value& v, const std::string& w) {
    DcUnit u;
    u.v = OneValue(v, "v", w);
    u.i = OneValue(v, "i", w);
    u.m_values = Values(v, "m", w, 4);
    u.n_values = Values(v, "n", w, 9);
    u.user = Values(v, "user", w, 3);
    u.v_alert = OneByte(v, "v_alert", w);
    u.alarms = Bytes(v, "alarms", w, 64);
    u.user_alarms = Bytes(v, "user_alarms", w, 13);
    return u;
}

RcModule ReadModule(const Json::Value& v, const std::string& w) {
    RcModule m;
    m.value = OneValue(v, "value", w);
    m.user = Values(v, "user", w, 4);
    m.state = FixedBytes<3>(v, "state", w);
    m.user_state = Bytes(v, "user_state", w, 1);
    m.fault = OneByte(v, "fault", w);
    m.user_alarms = Bytes(v, "user_alarms", w, 4);
    return m;
}

// Resolves a timeline path to the member it names; the member must exist.
Json::Value& Resolve(Json::Value& doc, const std::string& path) {
    Json::Value* cur = &doc;
    std::stringstream ss(path);
    std::string part;
    std::string done;
    while (std::getline(ss, part, '/')) {
        done = Sub(done, part);
        if (cur->isArray()) {
            const bool digits = !part.empty() && std::all_of(part.begin(), part.end(), ::isdigit);
            if (!digits || std::stoul(part) >= cur->size()) Fail(done, "no such list item");
            cur = &(*cur)[static_cast<Json::ArrayIndex>(std::stoul(part))];
        } else if (cur->isObject() && cur->isMember(part)) {
            cur = &(*cur)[part];
        } else {
            Fail(done, "no such member");
        }
    }
    if (cur->isArray() || cur->isObject()) Fail(path, "names a list or an object, not a value");
    return *cur;
}

void Apply(Json::Value& doc, const TimelineEvent& e) {
    Json::Value& target = Resolve(doc, e.path);
    if (!e.add) {
        target = e.value;
        return;
    }
    if (!target.isNumeric()) Fail(e.path, "add needs a number there");
    // Integral members (alarm bytes) stay integral.
    if (target.isIntegral() && e.value.isIntegral())
        target = target.asInt64() + e.value.asInt64();
    else
        target = target.asDouble() + e.value.asDouble();
}

TimelineEvent ReadEvent(const Json::Value& v, const std::string& w) {
    if (!v.isObject()) Fail(w, "not an object");
    TimelineEvent e;
    if (!v["round"].isIntegral() || v["round"].asInt() < 1) Fail(w, "round must be an integer >= 1");
    e.round = v["round"].asInt();
    const bool set = v.isMember("set"), add = v.isMember("add");
    if (set == add) Fail(w, "needs exactly one of set, add");
    e.add = add;
    const Json::Value& path = v[add ? "add" : "set"];
    if (!path.isString()) Fail(w, "the path must be a text");
    e.path = path.asString();
    if (!v.isMember("value")) Fail(w, "needs a value");
    e.value = v["value"];
    if (add && !e.value.isNumeric()) Fail(w, "add needs a numeric value");
    if (v.isMember("until")) {
        if (!add) Fail(w, "until is for add only");
        if (!v["until"].isIntegral() || v["until"].asInt() < e.round) Fail(w, "until must be an integer >= round");
        e.until = v["until"].asInt();
    }
    return e;
}

// The plant back as a document with every member present, so that the
// timeline can name members the scenario left to their defaults.
Json::Value ToJson(const Value4& v) { return v.invalid ? Json::Value("invalid") : Json::Value(static_cast<double>(v.value)); }

template <typename Container>
Json::Value ValueList(const Container& c) {
    Json::Value out(Json::arrayValue);
    for (const Value4& v : c) out.append(ToJson(v));
    return out;
}

template <typename Container>
Json::Value ByteList(const Container& c) {
    Json::Value out(Json::arrayValue);
    for (std::uint8_t b : c) out.append(Json::UInt(b));
    return out;
}

Json::Value PlantToJson(const Plant& p) {
    Json::Value doc(Json::objectValue);
    doc["model_text"] = p.model_text;
    doc["model_fill"] = p.pad_with_spaces ? "space" : "nul";
    doc["dataflag"]["ac"] = Json::UInt(p.flags.ac);
    doc["dataflag"]["rc"] = Json::UInt(p.flags.rc);
    doc["dataflag"]["dc"] = Json::UInt(p.flags.dc);
    doc["ac"] = Json::Value(Json::arrayValue);
    for (const AcUnit& u : p.ac) {
        Json::Value unit(Json::objectValue);
        unit["channels"] = Json::Value(Json::arrayValue);
        for (const AcChannel& ch : u.channels) {
            Json::Value c(Json::objectValue);
            c["a"] = ToJson(ch.a);
            c["b"] = ToJson(ch.b);
            c["c"] = ToJson(ch.c);
            c["f"] = ToJson(ch.f);
            c["user"] = ValueList(ch.user);
            c["alarms"] = ByteList(ch.alarms);
            c["user_alarms"] = ByteList(ch.user_alarms);
            unit["channels"].append(c);
        }
        unit["currents"] = ValueList(u.currents);
        unit["current_alarms"] = ByteList(u.current_alarms);
        unit["breakers"] = ByteList(u.breakers);
        unit["status"] = ByteList(u.status);
        doc["ac"].append(unit);
    }
    doc["dc"] = Json::Value(Json::arrayValue);
    for (const DcUnit& u : p.dc) {
        Json::Value unit(Json::objectValue);
        unit["v"] = ToJson(u.v);
        unit["i"] = ToJson(u.i);
        unit["m"] = ValueList(u.m_values);
        unit["n"] = ValueList(u.n_values);
        unit["user"] = ValueList(u.user);
        unit["v_alert"] = Json::UInt(u.v_alert);
        unit["alarms"] = ByteList(u.alarms);
        unit["user_alarms"] = ByteList(u.user_alarms);
        doc["dc"].append(unit);
    }
    Json::Value& rc = doc["rectifiers"];
    rc["group_value"] = ToJson(p.rc.group_value);
    rc["modules"] = Json::Value(Json::arrayValue);
    for (const RcModule& m : p.rc.modules) {
        Json::Value mod(Json::objectValue);
        mod["value"] = ToJson(m.value);
        mod["user"] = ValueList(m.user);
        mod["state"] = ByteList(m.state);
        mod["user_state"] = ByteList(m.user_state);
        mod["fault"] = Json::UInt(m.fault);
        mod["user_alarms"] = ByteList(m.user_alarms);
        rc["modules"].append(mod);
    }
    Json::Value& par = doc["parameters"];
    par["p40_46"] = ValueList(p.params.p40_46);
    par["p40_46_user"] = ValueList(p.params.p40_46_user);
    par["p42_46"] = ValueList(p.params.p42_46);
    par["p42_46_user"] = ValueList(p.params.p42_46_user);
    return doc;
}

}  // namespace

Model ModelFromName(const std::string& name) {
    if (name == "tvr27pk") return Model::tvr27pk;
    if (name == "qzl4200") return Model::qzl4200;
    throw std::runtime_error("unknown model: " + name + " (tvr27pk or qzl4200)");
}

const char* ModelName(Model model) { return model == Model::qzl4200 ? "qzl4200" : "tvr27pk"; }

Plant BuildPlant(const Json::Value& doc) {
    Plant p;
    const Json::Value& model = Member(doc, "model", "");
    p.model_text = Member(doc, "model_text", "").isNull() ? (model.isString() ? model.asString() : "tvr27pk")
                                                        : doc["model_text"].asString();
    const std::string fill = doc.get("model_fill", "nul").asString();
    if (fill != "nul" && fill != "space") Fail("model_fill", "expected \"nul\" or \"space\"");
    p.pad_with_spaces = fill == "space";
    EachOf(doc, "ac", "", [&](const Json::Value& u, const std::string& w) { p.ac.push_back(ReadAcUnit(u, w)); });
    EachOf(doc, "dc", "", [&](const Json::Value& u, const std::string& w) { p.dc.push_back(ReadDcUnit(u, w)); });
    const Json::Value& rc = Member(doc, "rectifiers", "");
    if (!rc.isNull()) {
        p.rc.group_value = OneValue(rc, "group_value", "rectifiers");
        EachOf(rc, "modules", "rectifiers",
               [&](const Json::Value& m, const std::string& w) { p.rc.modules.push_back(ReadModule(m, w)); });
    }
    const Json::Value& par = Member(doc, "parameters", "");
    const Json::Value empty(Json::objectValue);
    const Json::Value& pv = par.isNull() ? empty : par;
    p.params.p40_46 = FixedValues<5>(pv, "p40_46", "parameters");
    p.params.p40_46_user = Values(pv, "p40_46_user", "parameters", 0);
    p.params.p42_46 = FixedValues<2>(pv, "p42_46", "parameters");
    p.params.p42_46_user = Values(pv, "p42_46_user", "parameters", 5);
    const Json::Value& fl = Member(doc, "dataflag", "");
    if (!fl.isNull()) {
        p.flags.ac = OneByte(fl, "ac", "dataflag");
        p.flags.rc = OneByte(fl, "rc", "dataflag");
        p.flags.dc = OneByte(fl, "dc", "dataflag");
    }
    return p;
}

Scenario ParseScenario(const std::string& text) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::string errors;
    Json::Value root;
    std::istringstream in(text);
    if (!Json::parseFromStream(builder, in, &root, &errors)) throw std::runtime_error("scenario: " + errors);
    if (!root.isObject()) throw std::runtime_error("scenario: not a JSON object");

    Scenario s;
    s.model = ModelFromName(root.get("model", "tvr27pk").asString());
    s.build.model = s.model;
    s.build.base_dc_count_overlaps = root.get("base_dc_count_overlaps", true).asBool();
    if (root.isMember("answer_version")) s.answer_version = static_cast<int>(ReadByte(root["answer_version"], "answer_version"));
    EachOf(root, "timeline", "", [&](const Json::Value& e, const std::string& w) { s.timeline.push_back(ReadEvent(e, w)); });
    EachOf(root, "faults", "", [&](const Json::Value& f, const std::string&) { s.faults.push_back(FaultFromJson(f)); });
    s.model_text_given = root.isMember("model_text");
    s.doc = PlantToJson(BuildPlant(root));

    // Play the timeline once up to one round past its last change, so that
    // a bad path or value is reported now rather than in round 40.
    int last = 0;
    for (const TimelineEvent& e : s.timeline) last = std::max(last, e.until == INT_MAX ? e.round : e.until);
    Timeline t(s);
    BuildPlant(t.Doc());
    while (t.Round() <= last) {
        t.Advance();
        BuildPlant(t.Doc());
    }
    return s;
}

void OverrideModel(Scenario& scenario, Model model) {
    scenario.model = model;
    scenario.build.model = model;
    if (!scenario.model_text_given) scenario.doc["model_text"] = ModelName(model);
}

Scenario LoadScenarioFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read scenario file " + path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ParseScenario(ss.str());
}

const std::string& DefaultScenarioText() {
    static const std::string text =
#include "default_scenario.inc"
        ;
    return text;
}

Scenario DefaultScenario() { return ParseScenario(DefaultScenarioText()); }

Timeline::Timeline(const Scenario& scenario) : events_(scenario.timeline), doc_(scenario.doc) {}

void Timeline::Advance() {
    ++round_;
    for (const TimelineEvent& e : events_) {
        if (e.add ? (round_ >= e.round && round_ <= e.until) : round_ == e.round) Apply(doc_, e);
    }
}

}  // namespace sim
