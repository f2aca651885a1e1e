#include "QuilloraCore/CoreAudioHelpers.h"
#include "SimulatedTestSupport.h"

#include <unistd.h>

namespace {

using CoreAudioReadersTest = SimulatedAudioTest;

// Runs `read` and returns the error it throws (fails the test when it does not throw).
template <class Read>
CoreAudioError thrownBy(Read read) {
    try {
        read();
    } catch (const CoreAudioError& error) {
        return error;
    }
    ADD_FAILURE() << "no CoreAudioError thrown";
    return CoreAudioError("", 0);
}

TEST_F(CoreAudioReadersTest, ValueReadsIntegersAndDoubles) {
    SimulatedAudioHardware::DeviceConfig config;
    config.name = "Microfono USB";
    config.uid = "usb-mic";
    config.inputStreams = {1};
    config.nominalRate = 44100;
    const AudioObjectID mic = sim->addDevice(config);

    EXPECT_EQ(CoreAudio::value<AudioObjectID>(kAudioObjectSystemObject,
                                              kAudioHardwarePropertyDefaultInputDevice,
                                              kAudioObjectPropertyScopeGlobal, 0),
              mic);
    EXPECT_EQ(CoreAudio::value<double>(mic, kAudioDevicePropertyNominalSampleRate,
                                       kAudioObjectPropertyScopeGlobal, 0),
              44100.0);
    EXPECT_EQ(CoreAudio::value<uint32_t>(mic, kAudioDevicePropertyDeviceIsAlive,
                                         kAudioObjectPropertyScopeGlobal, 7),
              1u);
}

TEST_F(CoreAudioReadersTest, AValueOfTheWrongSizeOrAnUnknownObjectIsRefused) {
    const AudioObjectID mic = addInput("Microfono USB", "usb-mic");
    EXPECT_EQ(thrownBy([&] {
                  CoreAudio::value<uint32_t>(mic, kAudioDevicePropertyNominalSampleRate,
                                             kAudioObjectPropertyScopeGlobal, 0);
              }).status(),
              kAudioHardwareBadPropertySizeError)
        << "refused rather than half-filled";
    EXPECT_EQ(thrownBy([&] {
                  CoreAudio::value<uint32_t>(9999, kAudioDevicePropertyDeviceIsAlive,
                                             kAudioObjectPropertyScopeGlobal, 0);
              }).status(),
              kAudioHardwareBadObjectError);
}

TEST_F(CoreAudioReadersTest, StringReadsAndItsFailures) {
    const AudioObjectID mic = addInput("Microfono USB", "usb-mic");
    EXPECT_EQ(CoreAudio::string(mic, kAudioObjectPropertyName), "Microfono USB");
    EXPECT_EQ(CoreAudio::string(mic, kAudioDevicePropertyDeviceUID), "usb-mic");

    // The property exists but holds no string.
    const AudioObjectID anonymous = sim->addProcess(4242, std::nullopt, true);
    const CoreAudioError noString =
        thrownBy([&] { CoreAudio::string(anonymous, kAudioProcessPropertyBundleID); });
    EXPECT_STREQ(noString.what(), "Lettura stringa 1885497700 non riuscito (OSStatus 2003329396 'what')");

    sim->setPropertyFailure(mic, kAudioDevicePropertyDeviceUID, -50);
    const CoreAudioError failed = thrownBy([&] { CoreAudio::string(mic, kAudioDevicePropertyDeviceUID); });
    EXPECT_STREQ(failed.what(), "Lettura stringa 1969841184 non riuscito (OSStatus -50 )");
}

TEST_F(CoreAudioReadersTest, InputStreamChannelsInStreamOrder) {
    const AudioObjectID interface = addInput("Scheda audio", "interface", {2, 1, 2});
    const AudioObjectID speakers = addOutput("Altoparlanti", "speakers");

    EXPECT_EQ(CoreAudio::inputStreamChannels(interface), (std::vector<int>{2, 1, 2}));
    // An output-only device has no input streams: that is an empty list, not a failure.
    EXPECT_TRUE(CoreAudio::inputStreamChannels(speakers).empty());

    sim->setPropertyFailure(interface, kAudioDevicePropertyStreamConfiguration,
                            kAudioHardwareIllegalOperationError);
    EXPECT_STREQ(thrownBy([&] { CoreAudio::inputStreamChannels(interface); }).what(),
                 "Configurazione stream non riuscito (OSStatus 1852797029 'nope')");
}

TEST_F(CoreAudioReadersTest, ProcessObjectTranslatesPids) {
    const AudioObjectID own = CoreAudio::processObject(static_cast<int32_t>(getpid()));
    ASSERT_NE(own, kAudioObjectUnknown);

    const AudioObjectID other = sim->addProcess(31337, "com.example.Chat", true);
    EXPECT_EQ(CoreAudio::processObject(31337), other);
    // A process the audio system does not know is 0, not an error.
    EXPECT_EQ(CoreAudio::processObject(99999), kAudioObjectUnknown);

    sim->setPropertyFailure(kAudioObjectSystemObject, kAudioHardwarePropertyTranslatePIDToProcessObject);
    const CoreAudioError failed = thrownBy([] { CoreAudio::processObject(31337); });
    EXPECT_EQ(failed.operation(), "Ricerca del processo");
    EXPECT_EQ(failed.status(), kAudioHardwareUnknownPropertyError);
}

} // namespace
