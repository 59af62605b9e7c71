#include "server/status_report.h"

#include <cstdio>
#include <exception>
#include <vector>

#include "jsontext/styled_json.h"
#include "processor/status_file.h"
#include "server/server_main.h"
#include "server/watcher.h"

namespace qrx {
namespace {

std::string age(int64_t ms) {
    const int64_t s = ms < 0 ? 0 : ms / 1000;
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
}

// "2026-12-10 09:41:07 (5 min 2 s ago)", or "never".
std::string momentLine(const Json::Value& moment, int64_t nowTick) {
    if (!moment.isObject()) return "never";
    return moment["at"].asString() + " (" + age(nowTick - moment["tick"].asInt64()) + " ago)";
}

// Each fault of a running server, a line each.
std::vector<std::string> faultsOf(const Json::Value& status, int64_t nowTick) {
    std::vector<std::string> faults;
    for (const Json::Value& place : status["places"])
        if (!place["working"].asBool())
            faults.push_back(place["place"].asString() + " " + place["path"].asString() +
                             (place["failingSince"].isObject()
                                  ? " fails since " + momentLine(place["failingSince"], nowTick)
                                  : std::string(" cannot be used")) +
                             ": " + place["why"].asString());
    const Json::Value& log = status["log"];
    if (!log["rotatable"].asBool())
        faults.push_back("the log " + log["path"].asString() + " cannot be rotated since " +
                         momentLine(log["failingSince"], nowTick) + ": " + log["why"].asString());
    return faults;
}

std::string kinds(const Json::Value& byKind) {
    std::string text;
    for (const std::string& kind : byKind.getMemberNames())
        text += (text.empty() ? "" : ", ") + (kind.empty() ? "no kind" : kind) + " " +
                std::to_string(byKind[kind].asUInt64());
    return text;
}

std::string personText(const Json::Value& status, const std::vector<std::string>& faults,
                       int64_t nowTick) {
    const Json::Value& server = status["server"];
    const Json::Value& queue = status["queue"];
    std::string text = "ScanServer " + server["version"].asString() + ": running, " +
                       (faults.empty() ? "well" : "with faults") + "\n";
    text += "  process     " + std::to_string(server["pid"].asUInt()) + ", started " +
            momentLine(server["started"], nowTick) + "\n";
    text += "  settings    " + server["settingsFile"].asString() + "\n";
    text += "  endpoints   " + server["address"].asString() + " (requests), " +
            server["addressEx"].asString() + " (routed); scan mode " +
            std::to_string(server["scanMode"].asInt()) + "; CURVE " +
            (server["curve"].asBool() ? "on" : "off") + "\n";
    const uint64_t total = queue["total"].asUInt64();
    text += "  queue       " + std::to_string(total) + (total == 1 ? " card" : " cards");
    if (total > 0)
        text += " (" + kinds(queue["byKind"]) + "), the oldest queued " +
                age(nowTick - queue["oldestTick"].asInt64()) + " ago";
    text += "; last hand-over " + momentLine(queue["lastHandOver"], nowTick) + "\n";
    for (const Json::Value& place : status["places"])
        text += "  place       " + place["place"].asString() + " " + place["path"].asString() +
                ": " + (place["working"].asBool() ? "working" : "FAILING") + "\n";
    const Json::Value& connections = status["connections"];
    text += "  connections " + std::to_string(connections["open"].asUInt64()) + " open, " +
            std::to_string(connections["refused"].asInt64()) + " refused since the start; " +
            std::to_string(status["repliesDropped"].asInt64()) + " replies dropped\n";
    text += "  log         " + status["log"]["path"].asString() + ": " +
            (status["log"]["rotatable"].asBool() ? "writing" : "NOT ROTATABLE") + "\n";
    for (const std::string& fault : faults) text += "  fault       " + fault + "\n";
    // Written on a change only: an idle server's last change may be old.
    text += "  last change " + momentLine(status["written"], nowTick) + "\n";
    return text;
}

// "process 77, 2 restarts, the last 2026-12-10 10:02:11 (5 min 0 s ago) after
// the exit code 0xC0000005".
std::string watcherLine(const Json::Value& watcher, int64_t nowTick) {
    const int restarts = watcher["restarts"].asInt();
    std::string text = "process " + std::to_string(watcher["pid"].asUInt()) + ", " +
                       std::to_string(restarts) + (restarts == 1 ? " restart" : " restarts");
    if (restarts > 0)
        text += ", the last " + momentLine(watcher["lastRestart"], nowTick) + " after " +
                watcher["lastEnd"].asString();
    return text;
}

// The answer, reading the files only when useFiles is set.
StatusAnswer answerOf(const StatusFacts& facts, bool json, bool useFiles) {
    Json::Value status;
    const bool parsed = useFiles && facts.fileRead && parseJson(facts.fileText, &status) &&
                        status.isObject() && status["server"].isObject() &&
                        status["written"].isObject();
    const bool running = facts.serverHeld;
    // A file of a process that is gone tells nothing of the server running
    // now; nor does one written before the machine started (a tick past
    // now), whose process id may have been given to another.
    const bool current = running && parsed && facts.writerRuns &&
                         status["written"]["tick"].asInt64() <= facts.nowTick;
    std::vector<std::string> faults;
    if (current)
        faults = faultsOf(status, facts.nowTick);
    else if (running)
        faults.push_back(parsed ? "the status file is of a process that has ended: the server "
                                  "now running has not written its own yet"
                                : "the status file cannot be read: the server has not written "
                                  "it yet, or cannot (its log says why, when its folder is there)");
    Json::Value watcher;
    if (!useFiles || facts.watcherText.empty() || !parseJson(facts.watcherText, &watcher) ||
        !watcher.isObject() || !watcher["restarts"].isInt())
        watcher = Json::Value();
    StatusAnswer answer;
    answer.exitStatus = !running ? kStatusNotRunning : faults.empty() ? kStatusWell : kStatusFault;
    if (json) {
        // Only a current status stands at the top; another is the last one
        // written, under lastStatus, so that no old count passes for now.
        Json::Value out = current ? status : Json::Value(Json::objectValue);
        if (!current) out["lastStatus"] = parsed ? status : Json::Value();
        out["running"] = running;
        out["well"] = answer.exitStatus == kStatusWell;
        out["faults"] = Json::Value(Json::arrayValue);
        for (const std::string& fault : faults) out["faults"].append(fault);
        const Json::Value& oldest = status["queue"]["oldestTick"];
        out["oldestQueuedSeconds"] =
            current && oldest.isInt64()
                ? Json::Value(static_cast<Json::Int64>((facts.nowTick - oldest.asInt64()) / 1000))
                : Json::Value();
        out["watcher"] = watcher;
        answer.text = styledText(out);
        return answer;
    }
    if (current) {
        answer.text = personText(status, faults, facts.nowTick);
    } else if (running) {
        answer.text = "ScanServer: running, status unknown: " + faults.front() + "\n";
    } else {
        answer.text = "ScanServer: not running";
        if (parsed)
            answer.text += "; the last status was written by process " +
                           std::to_string(status["server"]["pid"].asUInt()) + " at " +
                           status["written"]["at"].asString();
        answer.text += "\n";
    }
    if (watcher.isObject())
        answer.text += "  watcher     " + watcherLine(watcher, facts.nowTick) + "\n";
    return answer;
}

}  // namespace

StatusAnswer statusAnswer(const StatusFacts& facts, bool json) {
    try {
        return answerOf(facts, json, true);
    } catch (const std::exception&) {
        // A member of another type than the server writes (a file edited by
        // hand, or cut short): told as a file that cannot be read.
        return answerOf(facts, json, false);
    }
}

int printStatus(Platform& platform, const std::string& path, bool json) {
    StatusFacts facts;
    std::string failure;
    facts.fileRead = platform.files().readFileContent(path, &facts.fileText, &failure);
    facts.serverHeld = platform.process().instanceHeld(kInstanceName);
    Json::Value status;
    if (facts.fileRead && parseJson(facts.fileText, &status) && status.isObject() &&
        status["server"].isObject() && status["server"]["pid"].isUInt())
        facts.writerRuns = platform.process().processRuns(status["server"]["pid"].asUInt());
    facts.nowTick = platform.clock().monotonicMs();
    Json::Value watcher;
    std::string watcherText;
    // The watcher's name is looked at only when a watcher wrote its file.
    if (platform.files().readFileContent(statusFilePath(path, kWatcherFileName), &watcherText,
                                         &failure) &&
        parseJson(watcherText, &watcher) && watcher.isObject() && watcher["pid"].isUInt() &&
        platform.process().processRuns(watcher["pid"].asUInt()) &&
        platform.process().instanceHeld(kWatcherInstanceName))
        facts.watcherText = watcherText;
    const StatusAnswer answer = statusAnswer(facts, json);
    std::fputs(platform.process().terminalText(answer.text).c_str(), stdout);
    return answer.exitStatus;
}

}  // namespace qrx
