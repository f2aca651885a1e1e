#include "SandboxSupport.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

std::string shell(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return {};
    }
    std::string output;
    char chunk[256];
    while (std::fgets(chunk, sizeof(chunk), pipe) != nullptr) {
        output += chunk;
    }
    EXPECT_EQ(pclose(pipe), 0) << command << " failed";
    while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) {
        output.pop_back();
    }
    return output;
}

std::string sandbox(const std::string& arguments) {
    return shell(std::string(QUILLORA_SANDBOX_SCRIPT) + " " + arguments);
}

bool insideSandbox(const char* program) {
    const char* sandboxDir = std::getenv("QUILLORA_SANDBOX_DIR");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (sandboxDir == nullptr || runtime == nullptr || std::string(runtime).rfind(sandboxDir, 0) != 0) {
        std::fprintf(stderr, "run me inside a private sandbox: scripts/audio-sandbox.sh run -- %s\n",
                     program);
        return false;
    }
    return true;
}
