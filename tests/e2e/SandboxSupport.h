#pragma once

#include <QCoreApplication>
#include <chrono>
#include <string>
#include <thread>

// The private PipeWire sandbox the end-to-end programs run in (scripts/audio-sandbox.sh run -- PROGRAM).

// Runs a shell command, fails the current test if it fails, and returns what it printed without the
// trailing newline.
std::string shell(const std::string& command);

// Runs `audio-sandbox.sh ARGUMENTS` (speaker, mic, play, default-source, unplug, node-id, kill…).
std::string sandbox(const std::string& arguments);

// True inside a sandbox started by the script; otherwise says how to run `program` and returns false,
// so that a test never touches a user's real audio server.
bool insideSandbox(const char* program);

// Runs the main thread's event loop until `done` or the timeout.
template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
