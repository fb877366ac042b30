// User-interface implementations that record what the core told them, for tests.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ecu/userinterface.h"

// A list that the control thread adds to while the test reads it.
template <typename T>
class TLockedList {
public:
    void Add(T item) {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(std::move(item));
    }
    std::vector<T> Items() {
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }

private:
    std::mutex mutex;
    std::vector<T> items;
};

struct TRecordingPanels : TStatusPanels {
    void SetPanelText(int panel, const std::string& text) override { texts.Add({panel, text}); }
    // The last text set on `panel`.
    std::string Text(int panel) {
        std::string last;
        for (const auto& [p, text] : texts.Items()) {
            last = p == panel ? text : last;
        }
        return last;
    }
    std::vector<std::pair<int, std::string>> History() { return texts.Items(); }
    TLockedList<std::pair<int, std::string>> texts;
};

// Records each notification together with the state a receiver would read at that moment.
struct TRecordingObserver : TLinkStateObserver {
    void LinkStateChanged() override {
        states.Add(read ? read() : -1);
        count.fetch_add(1);
    }
    std::vector<int> States() { return states.Items(); }
    std::function<int()> read;
    std::atomic<int> count{0};
    TLockedList<int> states;
};

struct TRecordingMessages : TMessageBox {
    void ShowMessage(const TMessage& message) override { shown.Add(message); }
    std::vector<TMessage> Shown() { return shown.Items(); }
    TLockedList<TMessage> shown;
};

struct TRecordingProgress : TProgressView {
    void SetPosition(int position) override { positions.Add(position); }
    void SetStatusText(const std::string& text) override { texts.Add(text); }
    void SetBytesWritten(int64_t, int64_t) override {}
    std::vector<int> Positions() { return positions.Items(); }
    std::vector<std::string> Texts() { return texts.Items(); }
    TLockedList<int> positions;
    TLockedList<std::string> texts;
};

// Records the control thread's reports on commands, in order ("started 3", "failed 3",
// "finished 3", "ended").
struct TRecordingCommands : TCommandObserver {
    void RunStarted(uint64_t c) override { reports.Add("started " + std::to_string(c)); }
    void RunFailed(uint64_t c) override { reports.Add("failed " + std::to_string(c)); }
    void CommandFinished(uint64_t c) override { reports.Add("finished " + std::to_string(c)); }
    void ControlEnded() override { reports.Add("ended"); }
    std::vector<std::string> Reports() { return reports.Items(); }
    int Count(const std::string& report) {
        return static_cast<int>(std::ranges::count(reports.Items(), report));
    }
    TLockedList<std::string> reports;
};
