#pragma once

#include <string>

// The private PipeWire sandbox the end-to-end programs run in (scripts/audio-sandbox.sh run -- PROGRAM).

// Runs a shell command, fails the current test if it fails, and returns what it printed without the
// trailing newline.
std::string shell(const std::string& command);

// Runs `audio-sandbox.sh ARGUMENTS` (speaker, mic, play, default-source, unplug, node-id, kill…).
std::string sandbox(const std::string& arguments);

// True inside a sandbox started by the script; otherwise says how to run `program` and returns false,
// so that a test never touches a user's real audio server.
bool insideSandbox(const char* program);
