// The journal of settled weights on its own: what a restart takes back from
// files left in every state a crash, a full disk or a hand could leave, and
// that it stays small and never stops the service when it cannot be written.
#include "service/mqtt/settled_journal.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace orva::mqtt {
namespace {

struct Log {
    std::vector<std::string> lines;
    SettledJournal::Log sink() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
    int count(const std::string& part) const {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
};

std::string readAll(const std::string& path) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll().toStdString();
}

void writeFile(const std::string& path, const std::string& text) {
    QFile f(QString::fromStdString(path));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.data(), static_cast<qint64>(text.size()));
}

std::vector<std::string> payloads(const std::vector<SettledJournal::Entry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.payload);
    return out;
}

TEST(SettledJournal, PathBesideTheConfiguration) {
    EXPECT_EQ(SettledJournal::pathBeside("/etc/orva/service.ini"), "/etc/orva/service.mqtt-journal");
    EXPECT_EQ(SettledJournal::pathBeside("site.conf.d/a"), "site.conf.d/a.mqtt-journal");
    EXPECT_EQ(SettledJournal::pathBeside("/etc/.hidden"), "/etc/.hidden.mqtt-journal");
}

TEST(SettledJournal, WhatARestartTakesBack) {
    const std::string a = R"({"n":1,"topic":"p/s1/stable","payload":"A"})";
    const std::string b = R"({"n":2,"topic":"p/s1/stable","payload":"B"})";
    const std::string c = R"({"n":3,"topic":"p/s2/stable","payload":"C"})";
    struct Case {
        const char* what;
        std::string file;
        std::vector<std::string> held;
        int skipped;
    };
    const std::vector<Case> cases = {
        {"nothing", "", {}, 0},
        {"three held, in order", a + "\n" + b + "\n" + c + "\n", {"A", "B", "C"}, 0},
        {"acknowledged ones are gone", a + "\n" + b + "\n{\"done\":1}\n" + c + "\n{\"done\":3}\n", {"B"}, 0},
        {"a last line cut short by a crash", a + "\n" + b + "\n" + c.substr(0, 20), {"A", "B"}, 1},
        {"half a line, then more after a full disk", a + "\n{\"n\":2,\"top\n" + c + "\n", {"A", "C"}, 1},
        {"not JSON, not an object, no topic, a bad id",
         "garbage\n[1]\n{\"n\":4,\"payload\":\"X\"}\n{\"n\":-1,\"topic\":\"t\",\"payload\":\"Y\"}\n{\"done\":\"x\"}\n" + a +
             "\n",
         {"A"},
         5},
        {"an id that does not grow is not ours", b + "\n" + a + "\n", {"B"}, 1},
        {"a line longer than any record", a + "\n" + std::string(SettledJournal::kMaxLineBytes + 1, 'x') + "\n" + b + "\n",
         {"A", "B"},
         1},
        {"more than the limit keeps the newest", a + "\n" + b + "\n" + c + "\n" +
                                                     R"({"n":4,"topic":"t","payload":"D"})" + "\n",
         {"B", "C", "D"},
         0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        QTemporaryDir dir;
        const std::string path = dir.filePath("service.mqtt-journal").toStdString();
        if (!k.file.empty()) writeFile(path, k.file);
        std::uint64_t next = 0;
        {
            Log log;
            SettledJournal journal(path, 3, log.sink());
            EXPECT_EQ(payloads(journal.replay()), k.held);
            EXPECT_EQ(journal.skippedLines(), k.skipped);
            EXPECT_EQ(log.count("that are not records"), k.skipped > 0 ? 1 : 0);
            EXPECT_EQ(journal.writeFailures(), 0);
            // Rewritten to just what is held: the next run takes back the same.
            next = journal.append("t", "new");
            for (const std::string& line : {std::string("garbage"), std::string("{\"n\":2,\"top")})
                EXPECT_EQ(readAll(path).find(line), std::string::npos);
        }
        Log againLog;
        SettledJournal again(path, 10, againLog.sink());
        auto expected = k.held;
        expected.push_back("new");
        auto entries = again.replay();
        EXPECT_EQ(payloads(entries), expected);
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries.back().id, next);
        EXPECT_EQ(again.skippedLines(), 0);
    }
}

TEST(SettledJournal, AJournalLargerThanTheReadLimitKeepsItsNewestRecords) {
    const std::string a = R"({"n":1,"topic":"p/s1/stable","payload":"A"})";
    const std::string b = R"({"n":2,"topic":"p/s1/stable","payload":"B"})";
    const std::string c = R"({"n":3,"topic":"p/s2/stable","payload":"C"})";
    std::string file = a + "\n";
    const std::string junk(2047, 'x');  // lines no record is, skipped unread
    while (static_cast<long long>(file.size()) <= SettledJournal::kMaxReadBytes) file += junk + "\n";
    file += b + "\n" + c + "\n";
    QTemporaryDir dir;
    const std::string path = dir.filePath("service.mqtt-journal").toStdString();
    writeFile(path, file);
    Log log;
    SettledJournal journal(path, 10, log.sink());
    EXPECT_EQ(payloads(journal.replay()), (std::vector<std::string>{"B", "C"}));
    EXPECT_EQ(log.count("only its newest 64 MiB are read"), 1);
    EXPECT_LT(QFileInfo(QString::fromStdString(path)).size(), 1024);  // rewritten to what is held
}

TEST(SettledJournal, HeldUntilDoneAcrossRestartsAndEmptiedWhenNothingIsHeld) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("j").toStdString();
    std::vector<std::uint64_t> ids;
    {
        Log first;
        SettledJournal journal(path, 100, first.sink());
        EXPECT_TRUE(journal.replay().empty());
        for (int i = 1; i <= 5; ++i) ids.push_back(journal.append("site/s1/stable", "{\"weight\":" + std::to_string(i) + "}"));
        journal.done(ids[1]);
        journal.done(ids[3]);
        journal.done(ids[3]);  // twice is once
        journal.done(12345);   // not one of ours
    }
    Log log;
    SettledJournal journal(path, 100, log.sink());
    EXPECT_EQ(log.count("3 settled weight(s) from the journal"), 0);
    const auto held = journal.replay();
    EXPECT_EQ(payloads(held), (std::vector<std::string>{"{\"weight\":1}", "{\"weight\":3}", "{\"weight\":5}"}));
    for (const auto& e : held) EXPECT_EQ(e.topic, "site/s1/stable");
    EXPECT_EQ(held[0].id, ids[0]);
    EXPECT_EQ(log.count("3 settled weight(s) from the journal"), 1);
    EXPECT_GT(journal.append("t", "p"), ids.back()) << "ids go on growing";
    for (const auto& e : held) journal.done(e.id);
    journal.done(ids.back() + 1);
    EXPECT_EQ(journal.held(), 0u);
    EXPECT_EQ(readAll(path), "");
}

TEST(SettledJournal, StaysSmallUnderASteadyStream) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("j").toStdString();
    Log log;
    auto journal = std::make_unique<SettledJournal>(path, 1000, log.sink());
    journal->replay();
    const std::string payload(400, 'w');
    std::vector<std::uint64_t> pending;
    long long largest = 0;
    // A broker that acknowledges with a lag of 50 messages, for 600 weights.
    for (int i = 0; i < 600; ++i) {
        pending.push_back(journal->append("site/pc1/bay-1/stable", payload));
        if (pending.size() > 50) {
            journal->done(pending.front());
            pending.erase(pending.begin());
        }
        largest = std::max(largest, journal->fileBytes());
    }
    EXPECT_LE(largest, SettledJournal::kCompactBytes + 2 * 51 * 512);
    EXPECT_EQ(journal->writeFailures(), 0);
    journal.reset();  // the service stops
    Log againLog;
    SettledJournal again(path, 1000, againLog.sink());
    EXPECT_EQ(again.replay().size(), 50u);
}

TEST(SettledJournal, AFullDiskIsLoggedOnceAndNeverStopsTheCaller) {
    // /dev/full takes the open and refuses every write with ENOSPC.
    Log log;
    SettledJournal journal("/dev/full", 10, log.sink());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(journal.append("t", "p"), 0u);
    EXPECT_EQ(journal.held(), 0u);
    EXPECT_EQ(journal.writeFailures(), 5);
    EXPECT_EQ(log.count("mqtt: journal /dev/full: cannot write it: No space left on device"), 1);
    EXPECT_EQ(log.lines.size(), 1u);
}

TEST(SettledJournal, AJournalInAFolderThatIsNotThereIsLoggedNotFatal) {
    Log log;
    SettledJournal journal("/nonexistent-orva-folder/j", 10, log.sink());
    EXPECT_TRUE(journal.replay().empty());
    EXPECT_EQ(journal.append("t", "p"), 0u);
    EXPECT_EQ(log.count("cannot open it: No such file or directory"), 1);
}

TEST(SettledJournal, OneServicePerJournal) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("j").toStdString();
    Log firstLog, secondLog;
    SettledJournal first(path, 10, firstLog.sink());
    first.replay();
    const std::uint64_t kept = first.append("t", "first's");
    // Another service on the same configuration file keeps no journal and
    // does not take the first one's weights.
    SettledJournal second(path, 10, secondLog.sink());
    EXPECT_TRUE(second.replay().empty());
    EXPECT_EQ(secondLog.count("is in use by another orva-service"), 1);
    EXPECT_EQ(second.append("t", "second's"), 0u);
    EXPECT_EQ(second.writeFailures(), 0);
    // Still so after the first one has rewritten its file.
    for (int i = 0; i < 400; ++i) first.done(first.append("t", std::string(300, 'x')));
    EXPECT_EQ(first.held(), 1u);
    SettledJournal third(path, 10, secondLog.sink());
    EXPECT_TRUE(third.replay().empty());
    EXPECT_EQ(secondLog.count("is in use by another orva-service"), 2);
    first.done(kept);
    EXPECT_EQ(readAll(path), "");
}

TEST(SettledJournal, AMessageTooLongForALineIsSentButNotKept) {
    QTemporaryDir dir;
    Log log;
    SettledJournal journal(dir.filePath("j").toStdString(), 10, log.sink());
    journal.replay();
    EXPECT_EQ(journal.append("t", std::string(SettledJournal::kMaxLineBytes, 'x')), 0u);
    EXPECT_EQ(log.count("longer than a journal line"), 1);
    EXPECT_EQ(journal.writeFailures(), 0);
    EXPECT_NE(journal.append("t", "short"), 0u);
}

}  // namespace
}  // namespace orva::mqtt
