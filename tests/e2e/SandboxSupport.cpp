#include "SandboxSupport.h"

#include "QuilloraCore/Diagnostics.h"

#include <QCoreApplication>
#include <QProcess>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

std::string shell(const std::string& command) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start("sh", {"-c", QString::fromStdString(command)});
    EXPECT_TRUE(process.waitForFinished(60000) && process.exitCode() == 0) << command << " failed";
    return process.readAllStandardOutput().trimmed().toStdString();
}

std::string sandbox(const std::string& arguments) {
    return shell(std::string(QUILLORA_SANDBOX_SCRIPT) + " " + arguments);
}

SandboxProcess::SandboxProcess(const std::string& arguments)
    : pid_(static_cast<pid_t>(std::atoi(sandbox(arguments).c_str()))) {
    EXPECT_GT(pid_, 0) << arguments;
}

void SandboxProcess::stop() {
    if (pid_ > 0) {
        sandbox("kill " + std::to_string(pid_));
        pid_ = 0;
    }
}

int runInsideSandbox(int argc, char** argv, const std::function<void()>& setUp,
                     const std::function<void()>& tearDown) {
    const char* folder = std::getenv("QUILLORA_SANDBOX_DIR");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (folder == nullptr || runtime == nullptr || std::string(runtime).rfind(folder, 0) != 0) {
        std::fprintf(stderr, "run me inside a private sandbox: scripts/audio-sandbox.sh run -- %s\n",
                     argv[0]);
        return 1;
    }
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    setUp();
    const int result = RUN_ALL_TESTS();
    tearDown();
    Diagnostics::flush();
    return result;
}
