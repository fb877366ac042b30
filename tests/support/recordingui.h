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
    void Close() override { closes.fetch_add(1); }

    std::vector<int> Positions() {
        std::lock_guard<std::mutex> lock(mutex);
        return positions;
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(mutex);
        return texts;
    }
    std::atomic<int> closes{0};

private:
    std::mutex mutex;
    std::vector<int> positions;
    std::vector<std::string> texts;
};
