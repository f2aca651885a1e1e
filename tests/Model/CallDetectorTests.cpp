// Which processes capturing the microphone count as calls, and under which name.
#include "QuilloraCore/CallDetector.h"

#include <gtest/gtest.h>
#include <iterator>
#include <sstream>

namespace {

using Apps = std::vector<std::string>;
constexpr int32_t ownPID = 777;

Apps words(const std::string& text) {
    std::istringstream stream(text);
    return {std::istream_iterator<std::string>(stream), std::istream_iterator<std::string>()};
}

Apps appsOf(const Apps& identifiers) {
    std::vector<MicrophoneClient> clients;
    for (const std::string& identifier : identifiers) {
        clients.push_back({static_cast<int32_t>(1000 + clients.size()), identifier});
    }
    return CallDetector::callApps(clients, ownPID);
}

TEST(CallApps, KeepsCallingApplicationsOnceEachAndDropsTheSoundSystem) {
    // Browsers and calling applications as Flatpak ids or executable names; exclusions are case-sensitive.
    const Apps calls = words("chromium firefox-esr org.mozilla.firefox com.google.Chrome zoom us.zoom.Zoom "
                             "teams-for-linux Discord com.slack.Slack signal-desktop org.telegram.desktop "
                             "skypeforlinux PipeWire Kmix recorder-chat obs-chat com.apple.Sirix");
    EXPECT_EQ(appsOf(calls), calls);
    EXPECT_EQ(
        appsOf(words(
            "pipewire pipewire-pulse wireplumber pulseaudio pavucontrol pavucontrol-qt "
            "org.pulseaudio.pavucontrol gnome-control-center org.kde.plasmashell kmix easyeffects "
            "noisetorch gnome-sound-recorder com.apple.siri.x com.apple.coreaudiod "
            "com.apple.corespeechd com.apple.controlcenter "
            // recorders, editors, screen recorders, dictation, and this program however started
            "pw-cat pw-record pacat parecord parec arecord rec sox ffmpeg audacity "
            "org.audacityteam.Audacity org.tenacityaudio.Tenacity obs com.obsproject.Studio "
            "simplescreenrecorder io.github.seadve.Kooha nerd-dictation quillora com.tandrevel.Quillora")),
        Apps{});
    // Our own capture (whatever it is called) and unreadable identifiers go, an unreadable process id does
    // not; two processes of one application and its helpers are one entry, in order of first occurrence.
    const std::vector<MicrophoneClient> clients{{ownPID, "us.zoom.Zoom"},
                                                {12, ""},
                                                {0, "chromium"},
                                                {13, ".Helper"},
                                                {4007, "chromium"},
                                                {14, "com.example.app"},
                                                {15, "com.apple.WebKit.GPU"},
                                                {16, "com.example.app.helper"}};
    EXPECT_EQ(CallDetector::callApps(clients, ownPID), words("chromium com.example.app com.apple.Safari"));
}

TEST(CallApps, NormalizesHelperProcessesToTheirApplication) {
    // Pairs of identifier and application; markers are found in any case, ".helper" first, wherever they are.
    const Apps pairs =
        words("com.apple.avconferenced com.apple.FaceTime  x.FaceTime.helper com.apple.FaceTime  "
              "com.apple.WebKit.WebContent com.apple.Safari  com.apple.webkit.GPU com.apple.webkit.GPU  "
              "com.example.Chat.HELPER com.example.Chat  com.example.helperkit com.example  "
              "com.example.voice.framework.audioservice com.example.voice  "
              "com.example.audioservice.helper com.example.audioservice  org.example.İnternet.helper "
              "org.example.İnternet  zoom zoom");
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        EXPECT_EQ(CallDetector::normalize(pairs[i]), pairs[i + 1]);
    }
    EXPECT_EQ(CallDetector::normalize(".helper"), "");
}

} // namespace
