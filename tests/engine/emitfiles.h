// Reading back the files an emitter wrote: each file checked in its format (JSON and NDJSON as
// strict RFC 8259 over UTF-8, CSV rows, MQSC-style records), and the records counted by the object
// name each carries.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "program.h"
#include "testing/testing.h"

namespace ef {

// Strict JSON: "" when text is one JSON value and nothing else, else where it fails.
class Json {
public:
    explicit Json(const std::string &text) : t_(text) {}
    std::string check() {
        space();
        if (!value(0)) return fail();
        space();
        return i_ == t_.size() ? "" : fail();
    }

private:
    std::string fail() const {
        return "at " + std::to_string(i_) + ": " + t_.substr(i_ > 20 ? i_ - 20 : 0, 60);
    }
    void space() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) i_++;
    }
    bool eat(char c) {
        if (i_ < t_.size() && t_[i_] == c) {
            i_++;
            return true;
        }
        return false;
    }
    bool literal(const char *word) {
        const std::string w(word);
        if (t_.compare(i_, w.size(), w) != 0) return false;
        i_ += w.size();
        return true;
    }
    bool value(int depth) {
        if (depth > 100 || i_ >= t_.size()) return false;
        const char c = t_[i_];
        if (c == '{') return members(depth, '}', true);
        if (c == '[') return members(depth, ']', false);
        if (c == '"') return string();
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        return number();
    }
    bool members(int depth, char close, bool named) {
        i_++;
        space();
        if (eat(close)) return true;
        for (;;) {
            space();
            if (named) {
                if (!string()) return false;
                space();
                if (!eat(':')) return false;
                space();
            }
            if (!value(depth + 1)) return false;
            space();
            if (eat(close)) return true;
            if (!eat(',')) return false;
        }
    }
    bool digits() {
        const size_t from = i_;
        while (i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9') i_++;
        return i_ > from;
    }
    bool number() {
        eat('-');
        if (eat('0')) {
        } else if (!digits()) {
            return false;
        }
        if (eat('.') && !digits()) return false;
        if (i_ < t_.size() && (t_[i_] == 'e' || t_[i_] == 'E')) {
            i_++;
            if (!eat('+')) eat('-');
            if (!digits()) return false;
        }
        return true;
    }
    // One UTF-8 character of two to four bytes, shortest form, no surrogate, at most U+10FFFF.
    bool utf8() {
        const auto b = [this](size_t k) { return static_cast<unsigned char>(t_[i_ + k]); };
        const unsigned char lead = b(0);
        size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
        if (n == 0 || lead > 0xF4 || i_ + n > t_.size()) return false;
        uint32_t code = lead & (0x7F >> n);
        for (size_t k = 1; k < n; k++) {
            if ((b(k) & 0xC0) != 0x80) return false;
            code = code << 6 | (b(k) & 0x3F);
        }
        if ((n == 3 && code < 0x800) || (n == 4 && (code < 0x10000 || code > 0x10FFFF))) return false;
        if (code >= 0xD800 && code <= 0xDFFF) return false;
        i_ += n;
        return true;
    }
    bool string() {
        if (!eat('"')) return false;
        while (i_ < t_.size()) {
            const auto c = static_cast<unsigned char>(t_[i_]);
            if (c == '"') {
                i_++;
                return true;
            }
            if (c < 0x20) return false;
            if (c >= 0x80) {
                if (!utf8()) return false;
                continue;
            }
            i_++;
            if (c != '\\') continue;
            if (i_ >= t_.size()) return false;
            const char e = t_[i_++];
            if (e == 'u') {
                for (int k = 0; k < 4; k++, i_++)
                    if (i_ >= t_.size() || !std::isxdigit(static_cast<unsigned char>(t_[i_]))) return false;
            } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
                return false;
            }
        }
        return false;
    }

    const std::string &t_;
    size_t i_ = 0;
};

// The lines of a text that ends each of its lines; false when the last one is not ended.
inline bool lines(const std::string &text, std::vector<std::string> *out) {
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        out->push_back(text.substr(at, end - at));
    return at == text.size();
}

// "" when the text is whole in the format, else what is wrong.
inline std::string checkText(const std::string &text, uint32_t format) {
    if (format == EV_EMIT_JSON) return Json(text).check();
    std::vector<std::string> all;
    if (!lines(text, &all)) return "the last line is not ended";
    for (const std::string &line : all) {
        if (format == EV_EMIT_NDJSON) {
            const std::string wrong = Json(line).check();
            if (!wrong.empty()) return wrong;
        }
    }
    if (format == EV_EMIT_CSV) {
        // Quoted fields are whole: every row ends outside quotes.
        bool quoted = false;
        for (char c : text)
            if (c == '"') quoted = !quoted;
        if (quoted) return "a quoted field is not closed";
    }
    if (format == EV_EMIT_MQSC) {
        // Each line is whole records: quotes closed and brackets balanced outside them.
        for (const std::string &line : all) {
            bool quoted = false;
            int open = 0;
            for (char c : line) {
                if (c == '\'') quoted = !quoted;
                if (!quoted && c == '(') open++;
                if (!quoted && c == ')') open--;
            }
            if (quoted || open != 0) return "a record is not whole: " + line;
        }
    }
    return "";
}

struct Files {
    std::vector<std::pair<std::string, std::string>> texts;  // name, bytes; in name order
    std::string damaged;                                     // files that are not whole
};

inline Files readFiles(const std::string &folder, uint32_t format) {
    Files files;
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file()) names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        std::FILE *f = std::fopen(name.c_str(), "rb");
        std::string text;
        if (f != nullptr) {
            char buffer[65536];
            for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
            std::fclose(f);
        }
        const std::string wrong = checkText(text, format);
        if (!wrong.empty()) files.damaged += name + ": " + wrong + "\n";
        files.texts.emplace_back(name, text);
    }
    return files;
}

// How many records name each object "K.nnnnnnnnnnnnn": every record names its object the same number
// of times, so a name's count over the fewest any name has.
inline std::map<std::string, int> recordsByName(const Files &files) {
    std::map<std::string, int> counts;
    for (const auto &[name, text] : files.texts)
        for (size_t at = text.find("K."); at != std::string::npos; at = text.find("K.", at + 1)) {
            if (at + 15 > text.size()) break;
            const std::string object = text.substr(at, 15);
            if (object.find_first_not_of("0123456789", 2) == std::string::npos) counts[object]++;
        }
    int fewest = 0;
    for (const auto &[name, count] : counts) fewest = fewest == 0 ? count : std::min(fewest, count);
    for (auto &[name, count] : counts) count = count % fewest == 0 ? count / fewest : -count;
    return counts;
}

// The names not in exactly one record.
inline std::string notOnce(const std::map<std::string, int> &records) {
    std::string wrong;
    for (const auto &[name, count] : records)
        if (count != 1) wrong += name + " x" + std::to_string(count) + " ";
    return wrong;
}

// The names outside K.(from+1) to K.(to).
inline std::string outside(const std::map<std::string, int> &records, int from, int to) {
    std::string wrong;
    for (const auto &[name, count] : records) {
        const int n = std::stoi(name.substr(2));
        if (n <= from || n > to) wrong += name + " ";
    }
    return wrong;
}

// The names of K.(from+1) to K.(to) that are not in exactly one record.
inline std::string missingOrTwice(const std::map<std::string, int> &records, int from, int to) {
    std::string wrong;
    for (int i = from + 1; i <= to; i++) {
        char name[16];
        std::snprintf(name, sizeof name, "K.%013d", i);
        auto found = records.find(name);
        const int times = found == records.end() ? 0 : found->second;
        if (times != 1) wrong += std::string(name) + " x" + std::to_string(times) + " ";
    }
    return wrong;
}

struct EmitterSetup {
    std::string pattern;
    uint32_t format = EV_EMIT_NDJSON;
    uint32_t onError = EV_ONERROR_SUSPEND;
    uint32_t maxSize = 0;  // bytes; 0 the default
};
inline EmitterSetup gEmitter;

// The stored configuration's emitter FILES on the events stream.
inline void fileEmitter() {
    EmitterDef *e = evCreateEmitterDef("FILES", -1);
    ASSERT_NE(e, nullptr);
    std::snprintf(e->file, sizeof e->file, "%s", gEmitter.pattern.c_str());
    e->format = gEmitter.format;
    e->onError = gEmitter.onError;
    if (gEmitter.maxSize != 0) e->maxSize = gEmitter.maxSize;
    StreamDef *def = evStreamDefine(evSystemStreamName(STREAM_TYPE_EVENTS), -1, STREAM_TYPE_EVENTS, 0, 0);
    ASSERT_NE(def, nullptr);
    std::snprintf(def->evEmit, sizeof def->evEmit, "FILES");
}

class EmitFilesQmTest : public pt::ProgramQmTest {
protected:
    // A fresh output folder and the emitter writing into it; the events queue empty.
    std::string useEmitter(const std::string &folder, uint32_t format, uint32_t onError, uint32_t maxSize,
                           const char *name) {
        const std::string out = dir.file(folder);
        std::filesystem::create_directories(out);
        gEmitter = EmitterSetup{out + "/" + name, format, onError, maxSize};
        emptyQueue(pt::kQmgrEvents);
        seed(fileEmitter);
        return out;
    }
    // An event naming the object name (15 bytes, in ccsid): the template's texts converted to that
    // CCSID by the queue manager (through CONVERT.Q), the name then put in.
    std::string inCcsid(const std::string &name, int32_t ccsid) {
        std::string event = eventFor("K.0000000000000");
        if (ccsid != 819) {
            putMessage("CONVERT.Q", MQFMT_EVENT, event);
            MQHOBJ hobj = openQueue("CONVERT.Q", MQOO_INPUT_EXCLUSIVE);
            MQMD md = MQMD_DEFAULT;
            md.CodedCharSetId = ccsid;
            MQGMO gmo = MQGMO_DEFAULT;
            gmo.Options = MQGMO_CONVERT | MQGMO_NO_SYNCPOINT;
            std::string converted(65536, '\0');
            MQLONG cc = 0, rc = 0, length = 0;
            raw.MQGET(own, hobj, &md, &gmo, static_cast<MQLONG>(converted.size()), converted.data(), &length,
                      &cc, &rc);
            EXPECT_EQ(rc, MQRC_NONE);
            EXPECT_EQ(md.CodedCharSetId, ccsid);
            closeQueue(&hobj);
            converted.resize(static_cast<size_t>(length));
            event = converted;
            // The name the template was given, as the conversion wrote it: at the same place in a
            // single-byte CCSID.
            EXPECT_EQ(event.size(), eventFor("K.0000000000000").size());
        }
        event.replace(nameAt, name.size(), name);
        return event;
    }
    // A rotation as the README's rule allows it, once the run has said "ZUNT Initialised": the files
    // last changed before the run started (mark, taken just before it) are moved into a folder of
    // their own. Not by name: the start removes a file a killed unit made, and the run may make one
    // again under that name.
    using Mark = std::filesystem::file_time_type;
    static Mark markBeforeStart(const std::string &out) {
        const std::string marker = out + "-mark";
        std::fclose(std::fopen(marker.c_str(), "wb"));
        return std::filesystem::last_write_time(marker);
    }
    static void rotate(const std::string &out, Mark mark, const std::string &to) {
        std::filesystem::create_directories(to);
        for (const auto &entry : std::filesystem::directory_iterator(out))
            if (entry.is_regular_file() && entry.last_write_time() < mark)
                std::filesystem::rename(entry.path(), to + "/" + entry.path().filename().string());
    }

    // A rotation by age as the README's rule allows it while the run goes on: every file last
    // changed two minutes ago or more but the emitter's newest.
    static void rotateAged(const std::string &out, const std::string &to) {
        std::filesystem::create_directories(to);
        std::vector<std::pair<Mark, std::filesystem::path>> files;
        for (const auto &entry : std::filesystem::directory_iterator(out))
            if (entry.is_regular_file()) files.emplace_back(entry.last_write_time(), entry.path());
        std::sort(files.begin(), files.end());
        const Mark due = Mark::clock::now() - std::chrono::minutes(2);
        for (size_t i = 0; i + 1 < files.size() && files[i].first <= due; i++)
            std::filesystem::rename(files[i].second, to + "/" + files[i].second.filename().string());
    }

    // The files of an emitter fed steadily, rotated by the README's rule while each run goes on for
    // two minutes and more (its start's files at once, then by age every five seconds), each run
    // killed at a random moment past that: every event is then in exactly one record across the
    // moved and the remaining files, all whole.
    void rotatedByAgeAroundKills(uint32_t format, const char *file, int cycles, unsigned seed) {
        const std::string out =
            useEmitter("aged" + std::to_string(format), format, EV_ONERROR_SUSPEND, 4096, file);
        const std::string moved = out + "-moved";
        int rotations = 0;
        const int from = put.load();
        std::mt19937 random(seed);
        startFeeding(5);
        for (int cycle = 0; cycle < cycles; cycle++) {
            SCOPED_TRACE(cycle);
            const Mark mark = markBeforeStart(out);
            pt::Zunt zunt(dir, "aged" + std::to_string(++runs), runOptions());
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            const auto started = std::chrono::steady_clock::now();
            rotate(out, mark, moved + std::to_string(++rotations));
            const auto killAt =
                started + std::chrono::seconds(std::uniform_int_distribution<int>(130, 170)(random));
            while (std::chrono::steady_clock::now() + std::chrono::seconds(5) < killAt) {
                usleep(5000000);
                rotateAged(out, moved + std::to_string(++rotations));
            }
            std::this_thread::sleep_until(killAt);
            ASSERT_TRUE(zunt.running()) << zunt.out();
            zunt.kill9();
            EXPECT_EQ(zunt.wait(), pt::kKilled) << zunt.out();
        }
        stopFeeding();
        takeInTheRest(out, moved, rotations);
        checkRotated(out, moved, rotations, format, from);
    }

    // A last run takes in what is left, its files rotated once more as it starts, and ends in order.
    void takeInTheRest(const std::string &out, const std::string &moved, int &rotations) {
        const Mark mark = markBeforeStart(out);
        pt::Zunt zunt(dir, "rest" + std::to_string(++runs), runOptions());
        EXPECT_TRUE(zunt.waitInitialised()) << zunt.out();
        rotate(out, mark, moved + std::to_string(++rotations));
        EXPECT_TRUE(drained()) << undrained();
        zunt.term();
        EXPECT_EQ(zunt.wait(), 0) << zunt.out();
    }

    // Every event since from in exactly one record across the remaining files and those moved into
    // moved1 to moved<rotations>, every file whole.
    void checkRotated(const std::string &out, const std::string &moved, int rotations, uint32_t format,
                      int from) {
        Files files = readFiles(out, format);
        for (int r = 1; r <= rotations; r++) {
            const Files rotated = readFiles(moved + std::to_string(r), format);
            files.damaged += rotated.damaged;
            files.texts.insert(files.texts.end(), rotated.texts.begin(), rotated.texts.end());
        }
        EXPECT_EQ(files.damaged, "");
        EXPECT_EQ(missingOrTwice(recordsByName(files), from, put.load()), "");
        keepRunsOnFailure();
    }

    // An emitter's files rotated by the README's rule around kill -9: a run that ends in order, a run
    // killed at its first save after the rotation took the names the loaded state lists, then cycles
    // of a burst, a rotation and a kill at a random moment, and a run that takes in the rest. Every
    // event is then in exactly one record across the moved and the remaining files, all whole.
    void rotatedAroundKills(uint32_t format, const char *file, int cycles, unsigned seed) {
        constexpr int kNoStorm = 1 << 30;
        const std::string out =
            useEmitter("rotated" + std::to_string(format), format, EV_ONERROR_SUSPEND, 4096, file);
        const std::string moved = out + "-moved";
        int rotations = 0;
        const int from = put.load();
        // The loaded state of the next start lists the files of this run's one unit.
        putBurst(30, 30, kNoStorm);
        {
            pt::Zunt zunt(dir, "rotated" + std::to_string(++runs), runOptions());
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            ASSERT_TRUE(drained()) << undrained();
            zunt.term();
            ASSERT_EQ(zunt.wait(), 0) << zunt.out();
        }
        // Those names moved away and made again by a unit that never commits: the next start must
        // remove the new files although the state it loads lists their names.
        {
            const Mark mark = markBeforeStart(out);
            pt::Zunt zunt(dir, "rotated" + std::to_string(++runs), runOptions(),
                          {"ZUNT_TEST_KILL_AT=MQPUT#6:1"});
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            rotate(out, mark, moved + std::to_string(++rotations));
            putBurst(30, 30, kNoStorm);
            ASSERT_EQ(zunt.wait(30000), pt::kKilled) << zunt.out();
        }
        std::mt19937 random(seed);
        for (int cycle = 0; cycle < cycles; cycle++) {
            SCOPED_TRACE(cycle);
            const Mark mark = markBeforeStart(out);
            putBurst(1000, 100, kNoStorm);
            pt::Zunt zunt(dir, "rotated" + std::to_string(++runs), runOptions());
            ASSERT_TRUE(zunt.waitInitialised()) << zunt.out();
            rotate(out, mark, moved + std::to_string(++rotations));
            // Topped up as it drains, so that the kill comes amid the burst.
            const int tenths = std::uniform_int_distribution<int>(1, 8)(random);
            for (int i = 0; i < tenths; i++) {
                if (depth(pt::kQmgrEvents) < 500) putBurst(500, 100, kNoStorm);
                usleep(100000);
            }
            if (depth(pt::kQmgrEvents) < 500) putBurst(500, 100, kNoStorm);
            EXPECT_FALSE(taken(pt::kQmgrEvents)) << "the burst was taken in before the kill";
            zunt.kill9();
            EXPECT_EQ(zunt.wait(), pt::kKilled) << zunt.out();
        }
        takeInTheRest(out, moved, rotations);
        checkRotated(out, moved, rotations, format, from);
    }

    // The command's MQSC reply text (REPLY.Q defined).
    std::string command(const std::string &text) {
        sendCommand(MQFMT_STRING, text);
        return replyText(10000);
    }
    // A number the reply shows as KEYWORD(n), or -1.
    static long shown(const std::string &reply, const std::string &keyword) {
        const size_t at = reply.find(keyword + "(");
        return at == std::string::npos ? -1
                                       : std::strtol(reply.c_str() + at + keyword.size() + 1, nullptr, 10);
    }
};

}  // namespace ef
