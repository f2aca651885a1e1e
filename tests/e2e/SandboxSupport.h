#pragma once

#include "WaitUntil.h"

#include <functional>
#include <string>
#include <sys/types.h>

// Runs a shell command, fails the current test if it fails, and returns what it printed, trimmed.
std::string shell(const std::string& command);

// Runs `audio-sandbox.sh ARGUMENTS` (speaker, mic, play, default-source, unplug, node-id, kill…).
std::string sandbox(const std::string& arguments);

// A device or client started by a sandbox command that prints its pid (mic, play, spawn…), stopped with it.
class SandboxProcess {
public:
    explicit SandboxProcess(const std::string& arguments);
    ~SandboxProcess() { stop(); }
    SandboxProcess(const SandboxProcess&) = delete;
    SandboxProcess& operator=(const SandboxProcess&) = delete;

    pid_t pid() const { return pid_; }
    void stop();

private:
    pid_t pid_ = 0;
};

// The main() of a sandbox program: refuses to run outside the script's sandbox (never a user's server),
// makes the application object, runs `setUp` (devices every test shares), the tests, then `tearDown`.
int runInsideSandbox(
    int argc, char** argv, const std::function<void()>& setUp, const std::function<void()>& tearDown = [] {});
