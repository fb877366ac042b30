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
// attempt, the bytes after each acknowledged block, "0 bytes sent." after block 0. Plain
// output has a line each tenth and every status text; on a terminal the bytes are counted
// once, on the bar, and other texts get a line of their own above it. The trace that names
// a failure is per run, and so are the tenths.
TEST(CliProgressView, PlainLinesOrOneBarAndATracePerRun) {
    for (const bool terminal : {false, true}) {
        std::ostringstream out;
        TConsole console(out, terminal);
        TTerminalProgress view(console, 600);
        view.SetPosition(0);
        view.SetBytesWritten(256, 600);
        view.SetStatusText("0 bytes sent.");
        view.SetPosition(33);
        view.SetStatusText("Retrying block 1");
        view.SetPosition(33);
        view.SetBytesWritten(512, 600);
        view.SetPosition(66);
        view.SetStatusText("Too many resends.");
        EXPECT_EQ(view.Trace().positions, 4);
        EXPECT_EQ(view.Trace().lastText, "Too many resends.");
        view.Complete();
        view.StartRun();
        EXPECT_EQ(view.Trace().positions, 0);
        EXPECT_EQ(view.Trace().lastText, "");
        view.SetPosition(0);
        const std::string text = out.str();
        if (!terminal) {
            EXPECT_EQ(text,
                      "progress   0%  0/600 bytes\n"
                      "0 bytes sent.\n"
                      "progress  33%  256/600 bytes\n"
                      "Retrying block 1\n"
                      "progress  66%  512/600 bytes\n"
                      "Too many resends.\n"
                      "progress 100%  600/600 bytes\n"
                      "progress   0%  0/600 bytes\n");  // the tenths start over with the run
        } else {
            EXPECT_EQ(text.find("bytes sent."), std::string::npos);
            EXPECT_NE(text.find(std::string(kClear) + "Retrying block 1\n"), std::string::npos);
            EXPECT_NE(text.find("[#########.....................]  33%  256/600 bytes"),
                      std::string::npos);
            // The run ends on a full bar and a line end.
            EXPECT_NE(text.find("[##############################] 100%  600/600 bytes\n"),
                      std::string::npos);
        }
    }
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
