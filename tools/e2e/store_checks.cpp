#include "tools/e2e/store_checks.h"

#include "tools/e2e/round_checks.h"
#include "tools/model/round_view.h"
#include "tools/model/snapshot_fields.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>

namespace e2e {

std::vector<HistoryRow> ReadHistory(const std::string& database) {
    std::vector<HistoryRow> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << database << ": " << (db ? sqlite3_errmsg(db) : "?");
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT id, time, data_id, type_number, snapshot FROM history ORDER BY id", -1, &st,
                           nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot read table history: " << sqlite3_errmsg(db);
    } else {
        while (sqlite3_step(st) == SQLITE_ROW) {
            HistoryRow r;
            r.id = sqlite3_column_int64(st, 0);
            const unsigned char* t = sqlite3_column_text(st, 1);
            r.time.assign(t ? reinterpret_cast<const char*>(t) : "",
                          static_cast<std::size_t>(sqlite3_column_bytes(st, 1)));
            r.dataId = static_cast<std::uint32_t>(sqlite3_column_int64(st, 2));
            r.typeNumber = sqlite3_column_int(st, 3);
            const auto* b = static_cast<const std::uint8_t*>(sqlite3_column_blob(st, 4));
            r.snapshot.assign(b, b + (b ? sqlite3_column_bytes(st, 4) : 0));
            rows.push_back(std::move(r));
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

void ExpectHistory(const Plan& plan, const std::vector<Json::Value>& rounds, const std::vector<HistoryRow>& rows,
                   const std::string& database) {
    const auto ids = plan.ChildIds();
    const auto numbers = plan.ChildTypeNumbers();
    const std::size_t children = ids.size();
    ASSERT_EQ(rows.size(), rounds.size() * children) << "one row per child per round";
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const std::size_t round = k / children, child = k % children;
        SCOPED_TRACE("history row " + std::to_string(rows[k].id) + ", round " + std::to_string(round + 1));
        EXPECT_EQ(rows[k].dataId, ids[child]);
        EXPECT_EQ(rows[k].typeNumber, numbers[child]);
        if (k > 0) {
            EXPECT_LE(rows[k - 1].time, rows[k].time);
        }
        // The image saved is the one published in that round, whatever later rounds did.
        EXPECT_EQ(model::Hex(rows[k].snapshot),
                  rounds[round]["snapshots"][static_cast<Json::ArrayIndex>(child)]["hex"].asString());
    }

    rt::HistoryStore store(database);
    for (std::size_t child = 0; child < children; ++child) {
        SCOPED_TRACE("newest snapshot of " + std::to_string(ids[child]));
        const auto newest = store.Newest(ids[child], numbers[child]);
        ASSERT_TRUE(newest.has_value());
        EXPECT_EQ(*newest, rows[rows.size() - children + child].snapshot);
        ExpectFields(plan, static_cast<int>(rounds.size()), child,
                     model::DecodeSnapshot(numbers[child], newest->data(), newest->size()));
    }
}

void ExpectAlarmEvents(const Plan& plan, const std::vector<rt::AlarmRow>& events,
                       const std::vector<HistoryRow>& rows) {
    const std::vector<AlarmChange> want = plan.Changes();
    ASSERT_EQ(events.size(), want.size());
    const auto ids = plan.ChildIds();
    const std::size_t children = ids.size();
    for (std::size_t k = 0; k < want.size(); ++k) {
        const rt::AlarmRow& e = events[k];
        const AlarmChange& w = want[k];
        SCOPED_TRACE(std::string(w.begin ? "begin" : "end") + " of " + w.alarm.text + " in round " +
                     std::to_string(w.round));
        EXPECT_EQ(e.begin, w.begin);
        EXPECT_EQ(e.data_id, w.alarm.dataId);
        EXPECT_EQ(e.rule_key, w.alarm.key);
        EXPECT_EQ(e.seq, w.alarm.seq);
        EXPECT_EQ(e.alarm_id, w.alarm.alarmId);
        EXPECT_EQ(e.level, w.alarm.level);
        EXPECT_EQ(e.name, w.alarm.name);
        EXPECT_EQ(e.text, w.alarm.text);
        // The worker writes a child's events right before that child's
        // history row of the round, after every row of the round before.
        const auto child = static_cast<std::size_t>(std::find(ids.begin(), ids.end(), w.alarm.dataId) - ids.begin());
        const std::size_t at = static_cast<std::size_t>(w.round - 1) * children + child;
        ASSERT_LT(at, rows.size());
        EXPECT_LE(e.time, rows[at].time);
        if (at >= child + 1) {
            EXPECT_GE(e.time, rows[at - child - 1].time);
        }
    }
}

}  // namespace e2e
