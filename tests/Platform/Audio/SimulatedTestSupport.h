#pragma once

#include "Platform/Audio/Simulated/SimulatedAudioHardware.h"

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

// Every test gets a fresh simulated audio system as the process-wide instance.
class SimulatedAudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto hardware = std::make_unique<SimulatedAudioHardware>();
        sim = hardware.get();
        AudioHardware::setShared(std::move(hardware));
    }
    void TearDown() override { AudioHardware::setShared(nullptr); }

    AudioObjectID addInput(const std::string& name, const std::string& uid, std::vector<int> streams = {1},
                           SimulatedAudioHardware::Signal signal = {}) {
        SimulatedAudioHardware::DeviceConfig config;
        config.name = name;
        config.uid = uid;
        config.inputStreams = std::move(streams);
        config.input = signal;
        return sim->addDevice(std::move(config));
    }

    AudioObjectID addOutput(const std::string& name, const std::string& uid,
                            SimulatedAudioHardware::Signal signal = {}) {
        SimulatedAudioHardware::DeviceConfig config;
        config.name = name;
        config.uid = uid;
        config.outputStreams = {2};
        config.output = signal;
        return sim->addDevice(std::move(config));
    }

    SimulatedAudioHardware* sim = nullptr;
};

// Runs the Qt event loop until `done` holds or the timeout passes.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
