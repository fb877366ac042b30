// The terminal side of the core's interfaces: the console's bar line, the progress view in
// both of its forms, the panels, the message box and the link-state announcements.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "ecu/ecu.h"
#include "tools/cli/terminalui.h"

namespace {

constexpr char kClear[] = "\r\033[K";

// On a terminal, lines go above the bar, which is drawn again below them, and a question
// ends the bar and stays on its line; elsewhere there is no bar at all.
TEST(CliConsole, LinesGoAboveTheBarWhichIsOnlyOnATerminal) {
    for (const bool terminal : {true, false}) {
        std::ostringstream out;
        TConsole console(out, terminal);
        console.Line("one");
        console.Bar("[bar 1]");
        console.Bar("[bar 2]");
        console.Line("two");
        console.EndBar();
        console.Line("three");
        console.Bar("[bar 3]");
        console.Prompt("Go? ");
        EXPECT_EQ(out.str(), terminal
                                 ? std::string("one\n") + kClear + "[bar 1]" + kClear + "[bar 2]" +
                                       kClear + "two\n[bar 2]\nthree\n" + kClear + "[bar 3]\nGo? "
                                 : "one\ntwo\nthree\nGo? ");
    }
}

// Three blocks (600 bytes), as the upload drives the view: the position at each block
// attempt, the bytes after each acknowledged block, "0 bytes sent." after block 0.
void DriveThreeBlockRun(TTerminalProgress& view) {
    view.SetPosition(0);
    view.SetBytesWritten(256, 600);
    view.SetStatusText("0 bytes sent.");
    view.SetPosition(33);
    view.SetStatusText("Retrying block 1");
    view.SetPosition(33);
    view.SetBytesWritten(512, 600);
    view.SetPosition(66);
}

TEST(CliProgressView, PlainOutputHasATenthLineAndEveryStatusText) {
    std::ostringstream out;
    TConsole console(out, false);
    TTerminalProgress view(console, 600);
    DriveThreeBlockRun(view);
    view.Complete();
    EXPECT_EQ(out.str(),
              "progress   0%  0/600 bytes\n"
              "0 bytes sent.\n"
              "progress  33%  256/600 bytes\n"
              "Retrying block 1\n"
              "progress  66%  512/600 bytes\n"
              "progress 100%  600/600 bytes\n");
}

TEST(CliProgressView, OnATerminalTheBarCarriesOneCountOfBytes) {
    std::ostringstream out;
    TConsole console(out, true);
    TTerminalProgress view(console, 600);
    DriveThreeBlockRun(view);
    view.Complete();
    const std::string text = out.str();
    // The bytes are counted once, on the bar; other texts get a line of their own above it.
    EXPECT_EQ(text.find("bytes sent."), std::string::npos);
    EXPECT_NE(text.find(std::string(kClear) + "Retrying block 1\n"), std::string::npos);
    EXPECT_NE(text.find("[#########.....................]  33%  256/600 bytes"), std::string::npos);
    EXPECT_NE(text.find("]  66%  512/600 bytes"), std::string::npos);
    // It ends on a full bar and a line end.
    const std::string end = "[##############################] 100%  600/600 bytes\n";
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
}

TEST(CliProgressView, TraceIsPerRun) {
    std::ostringstream out;
    TConsole console(out, false);
    TTerminalProgress view(console, 600);
    DriveThreeBlockRun(view);
    view.SetStatusText("Too many resends.");
    TRunTrace trace = view.Trace();
    EXPECT_EQ(trace.positions, 4);
    EXPECT_EQ(trace.lastText, "Too many resends.");

    view.StartRun();
    trace = view.Trace();
    EXPECT_EQ(trace.positions, 0);
    EXPECT_EQ(trace.lastText, "");
    // The tenths start over with the run.
    view.SetPosition(0);
    const std::string text = out.str();
    const std::string zero = "progress   0%  0/600 bytes\n";
    EXPECT_NE(text.find(zero), text.rfind(zero));
}

TEST(CliLinkObserver, AnnouncesOnlyRealChangesWhileAnnouncing) {
    std::ostringstream out;
    TConsole console(out, false);
    TWakeup wakeup;
    TTerminalLinkObserver observer(console, wakeup);
    uint8_t state = kLinkConnecting;
    observer.SetStateReader([&] { return state; });

    state = kLinkConnected;
    observer.LinkStateChanged();  // not announcing yet
    observer.Announce(true);
    observer.LinkStateChanged();  // a late report of the state already shown
    state = kLinkConnecting;
    observer.LinkStateChanged();
    state = kLinkConnected;
    observer.LinkStateChanged();
    observer.Announce(false);
    state = kLinkConnecting;
    observer.LinkStateChanged();
    EXPECT_EQ(out.str(), "Link: Connecting\nLink: Connected\n");
}

}  // namespace
