// User-interface implementations that record what the core told them, for tests.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ecu/userinterface.h"

class TRecordingPanels : public TStatusPanels {
public:
    void SetPanelText(int panel, const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        texts[panel] = text;
        history.emplace_back(panel, text);
    }
    std::string Text(int panel) {
        std::lock_guard<std::mutex> lock(mutex);
        return texts[panel];
    }
    std::vector<std::pair<int, std::string>> History() {
        std::lock_guard<std::mutex> lock(mutex);
        return history;
    }

private:
    std::mutex mutex;
    std::map<int, std::string> texts;
    std::vector<std::pair<int, std::string>> history;
};

// Records each notification together with the state a receiver would read at that moment.
class TRecordingObserver : public TLinkStateObserver {
public:
    explicit TRecordingObserver(std::function<int()> readState = {}) : read(std::move(readState)) {}
    void LinkStateChanged() override {
        std::lock_guard<std::mutex> lock(mutex);
        states.push_back(read ? read() : -1);
        count.fetch_add(1);
    }
    std::vector<int> States() {
        std::lock_guard<std::mutex> lock(mutex);
        return states;
    }
    std::function<int()> read;
    std::atomic<int> count{0};

private:
    std::mutex mutex;
    std::vector<int> states;
};

class TRecordingMessages : public TMessageBox {
public:
    void ShowMessage(const TMessage& message) override {
        std::lock_guard<std::mutex> lock(mutex);
        shown.push_back(message);
    }
    std::vector<TMessage> Shown() {
        std::lock_guard<std::mutex> lock(mutex);
        return shown;
    }

private:
    std::mutex mutex;
    std::vector<TMessage> shown;
};

class TRecordingProgress : public TProgressView {
public:
    void SetPosition(int position) override {
        std::lock_guard<std::mutex> lock(mutex);
        positions.push_back(position);
    }
    void SetStatusText(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        texts.push_back(text);
    }
    void SetBytesWritten(int64_t written, int64_t) override {
        std::lock_guard<std::mutex> lock(mutex);
        bytes.push_back(written);
    }

    std::vector<int> Positions() {
        std::lock_guard<std::mutex> lock(mutex);
        return positions;
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(mutex);
        return texts;
    }
    std::vector<int64_t> Bytes() {
        std::lock_guard<std::mutex> lock(mutex);
        return bytes;
    }

private:
    std::mutex mutex;
    std::vector<int> positions;
    std::vector<std::string> texts;
    std::vector<int64_t> bytes;
};

// Records the control thread's reports on commands, in order ("started 3", "failed 3",
// "finished 3", "ended").
class TRecordingCommands : public TCommandObserver {
public:
    void RunStarted(uint64_t c) override { Add("started " + std::to_string(c)); }
    void RunFailed(uint64_t c) override { Add("failed " + std::to_string(c)); }
    void CommandFinished(uint64_t c) override { Add("finished " + std::to_string(c)); }
    void ControlEnded() override { Add("ended"); }
    std::vector<std::string> Reports() {
        std::lock_guard<std::mutex> lock(mutex);
        return reports;
    }
    int Count(const std::string& report) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const std::string& r : reports) {
            n += r == report;
        }
        return n;
    }

private:
    void Add(std::string report) {
        std::lock_guard<std::mutex> lock(mutex);
        reports.push_back(std::move(report));
    }
    std::mutex mutex;
    std::vector<std::string> reports;
};
