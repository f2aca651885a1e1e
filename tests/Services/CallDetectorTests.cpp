#include "QuilloraCore/CallDetector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int32_t ownPID = 777;

std::vector<std::string> appsOf(const std::vector<std::string>& identifiers) {
    std::vector<MicrophoneClient> clients;
    int32_t pid = 1000;
    for (const std::string& identifier : identifiers) {
        clients.push_back({pid++, identifier});
    }
    return CallDetector::callApps(clients, ownPID);
}

using Apps = std::vector<std::string>;

TEST(CallApps, EmptyInputGivesNothing) {
    EXPECT_TRUE(CallDetector::callApps({}, ownPID).empty());
}

TEST(CallApps, SkipsOwnProcessAndUnreadableIdentifiers) {
    const std::vector<MicrophoneClient> clients{
        {ownPID, "us.zoom.Zoom"}, // our own capture, whatever it is called
        {12, ""},                 // identifier could not be read
        {0, "chromium"},          // process id could not be read: still a candidate
        {13, ".Helper"},          // nothing left once the marker is cut
    };
    EXPECT_EQ(CallDetector::callApps(clients, ownPID), Apps{"chromium"});
}

TEST(CallApps, ExcludesDesktopComponentsByCaseSensitivePrefix) {
    EXPECT_EQ(
        appsOf({"com.apple.siri", "com.apple.assistantd", "com.apple.CoreSpeech.x", "com.apple.corespeechd",
                "com.apple.SpeechRecognitionCore.brokerd", "com.apple.dictation.something",
                "com.apple.DictationIM", "com.apple.accessibility.heard", "com.apple.VoiceMemos",
                "com.apple.audio.x", "com.apple.coreaudiod", "com.apple.controlcenter",
                "com.apple.systemsound.x", "com.apple.voicebankingd", "com.apple.siri.anything"}),
        Apps{});
    // Only the exact spelling is excluded; the rest goes on to normalization.
    EXPECT_EQ(appsOf({"com.apple.Sirix", "com.apple.Dictation"}),
              (Apps{"com.apple.Sirix", "com.apple.Dictation"}));
}

TEST(CallApps, ExcludesTheLinuxSoundSystemAndItsTools) {
    EXPECT_EQ(appsOf({"pipewire", "pipewire-pulse", "wireplumber", "pulseaudio", "org.pulseaudio.pavucontrol",
                      "pavucontrol", "pavucontrol-qt", "org.gnome.Settings", "gnome-control-center",
                      "org.kde.plasmashell", "plasmashell", "kmix", "com.github.wwmm.easyeffects",
                      "easyeffects", "noisetorch", "org.gnome.SoundRecorder", "gnome-sound-recorder"}),
              Apps{});
    // Case-sensitive, and tested on the identifier as reported: these are candidates.
    EXPECT_EQ(appsOf({"PipeWire", "Kmix", "pw-record", "parecord"}),
              (Apps{"PipeWire", "Kmix", "pw-record", "parecord"}));
}

TEST(CallApps, DeduplicatesNormalizedIdentifiersInOrderOfFirstOccurrence) {
    EXPECT_EQ(appsOf({"com.example.app", "com.apple.WebKit.GPU", "com.example.app.helper",
                      "com.apple.WebKit.WebContent", "com.example.other"}),
              (Apps{"com.example.app", "com.apple.Safari", "com.example.other"}));
}

// Browsers and calling applications on Linux, as the audio layer reports them: the Flatpak application id
// or the executable's name. Each must come out as itself; two processes of one application as one entry.
TEST(CallApps, RecognisesLinuxBrowsersAndCallApplications) {
    const Apps identifiers{
        "chromium",
        "chrome",
        "firefox-esr",
        "firefox",
        "org.mozilla.firefox",
        "org.chromium.Chromium",
        "com.google.Chrome",
        "com.brave.Browser",
        "com.microsoft.Edge",
        "zoom",
        "us.zoom.Zoom",
        "teams-for-linux",
        "com.github.IsmaelMartinez.teams_for_linux",
        "Discord",
        "com.discordapp.Discord",
        "slack",
        "com.slack.Slack",
        "signal-desktop",
        "org.signal.Signal",
        "telegram-desktop",
        "org.telegram.desktop",
        "skypeforlinux",
        "com.skype.Client",
    };
    EXPECT_EQ(appsOf(identifiers), identifiers);

    // Chromium's browser process and its audio utility process, a loopback of the sound server, a level
    // meter and our own capture: one call application.
    const std::vector<MicrophoneClient> clients{
        {4001, "chromium"}, {38, "pipewire"}, {4007, "chromium"}, {51, "pavucontrol"}, {ownPID, "quillora"}};
    EXPECT_EQ(CallDetector::callApps(clients, ownPID), Apps{"chromium"});
}

TEST(Normalize, FoldsConferencingAndWebEngineProcesses) {
    for (const char* identifier : {"com.apple.avconferenced", "com.apple.FaceTime",
                                   "com.apple.TelephonyUtilities.callservicesd", "x.FaceTime.helper"}) {
        EXPECT_EQ(CallDetector::normalize(identifier), "com.apple.FaceTime") << identifier;
    }
    EXPECT_EQ(CallDetector::normalize("com.apple.WebKit.GPU"), "com.apple.Safari");
    EXPECT_EQ(CallDetector::normalize("com.apple.WebKit.WebContent"), "com.apple.Safari");
    // Case-sensitive: these are not the conferencing daemon or the web engine.
    EXPECT_EQ(CallDetector::normalize("com.example.facetime"), "com.example.facetime");
    EXPECT_EQ(CallDetector::normalize("com.apple.webkit.GPU"), "com.apple.webkit.GPU");
}

TEST(Normalize, CutsAtTheFirstComponentMarker) {
    // Found without regard to case; the part before it keeps its case.
    EXPECT_EQ(CallDetector::normalize("com.example.Chat.Helper"), "com.example.Chat");
    EXPECT_EQ(CallDetector::normalize("com.example.Chat.HELPER (Renderer)"), "com.example.Chat");
    // Not only at the end.
    EXPECT_EQ(CallDetector::normalize("com.example.helperkit"), "com.example");
    // The longer audio-service marker is cut whole.
    EXPECT_EQ(CallDetector::normalize("com.example.voice.framework.audioservice"), "com.example.voice");
    EXPECT_EQ(CallDetector::normalize("com.example.voice.AudioService"), "com.example.voice");
    // ".helper" is tried before the others, wherever they stand.
    EXPECT_EQ(CallDetector::normalize("com.example.audioservice.helper"), "com.example.audioservice");
    // A marker at the very start leaves nothing, as the rule says.
    EXPECT_EQ(CallDetector::normalize(".helper"), "");
    // No marker: unchanged, including identifiers with non-ASCII letters.
    EXPECT_EQ(CallDetector::normalize("org.example.Überall"), "org.example.Überall");
    EXPECT_EQ(CallDetector::normalize("org.example.İnternet.helper"), "org.example.İnternet");
    EXPECT_EQ(CallDetector::normalize("zoom"), "zoom");
}

} // namespace
