#pragma once

#include "Platform/Audio/Simulated/SimulatedAudioHardware.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

// Every test gets a fresh simulated audio system as the process-wide instance.
class SimulatedAudioTest : public ::testing::Test {
protected:
    using Signal = SimulatedAudioHardware::Signal;
    using Operation = SimulatedAudioHardware::Operation;

    void SetUp() override {
        auto hardware = std::make_unique<SimulatedAudioHardware>();
        sim = hardware.get();
        AudioHardware::setShared(std::move(hardware));
    }
    void TearDown() override { AudioHardware::setShared(nullptr); }

    AudioObjectID addInput(const std::string& name, const std::string& uid, std::vector<int> streams = {1},
                           Signal signal = {}) {
        SimulatedAudioHardware::DeviceConfig config;
        config.name = name;
        config.uid = uid;
        config.inputStreams = std::move(streams);
        config.input = signal;
        return sim->addDevice(std::move(config));
    }

    AudioObjectID addOutput(const std::string& name, const std::string& uid, Signal signal = {}) {
        SimulatedAudioHardware::DeviceConfig config;
        config.name = name;
        config.uid = uid;
        config.outputStreams = {2};
        config.output = signal;
        return sim->addDevice(std::move(config));
    }

    void expectNoAudioObjectsLeft() const {
        EXPECT_EQ(sim->liveTapCount(), 0u);
        EXPECT_EQ(sim->liveAggregateCount(), 0u);
        EXPECT_EQ(sim->ioProcCount(), 0u);
    }

    SimulatedAudioHardware* sim = nullptr;
};
