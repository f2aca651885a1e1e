#include "QuilloraCore/CallDetector.h"

#include "Platform/Audio/AudioHardware.h"
#include "QuilloraCore/CoreAudioHelpers.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace CallDetector {

namespace {

// The desktop's own assistant, speech, dictation, accessibility, voice-memo, audio, control-centre,
// system-sound and voice-banking components: they listen to the microphone, but never for a call.
constexpr std::array<std::string_view, 14> systemComponentPrefixes{
    "com.apple.siri",
    "com.apple.assistant",
    "com.apple.CoreSpeech",
    "com.apple.corespeech",
    "com.apple.SpeechRecognitionCore",
    "com.apple.dictation",
    "com.apple.DictationIM",
    "com.apple.accessibility",
    "com.apple.VoiceMemos",
    "com.apple.audio",
    "com.apple.coreaudio",
    "com.apple.controlcenter",
    "com.apple.systemsound",
    "com.apple.voicebankingd",
};

// The same for a Linux desktop: the sound servers' own loopback and echo-cancel nodes, the volume
// controls and sound settings (their level meters capture), audio effect and noise-suppression tools,
// and the desktop's voice recorder. Each as the audio layer reports it: Flatpak id, or executable name.
constexpr std::array<std::string_view, 15> linuxComponentPrefixes{
    "pipewire",
    "wireplumber",
    "pulseaudio",
    "org.pulseaudio.pavucontrol",
    "pavucontrol",
    "org.gnome.Settings",
    "gnome-control-center",
    "org.kde.plasmashell",
    "plasmashell",
    "kmix",
    "com.github.wwmm.easyeffects",
    "easyeffects",
    "noisetorch",
    "org.gnome.SoundRecorder",
    "gnome-sound-recorder",
};

// Programs that record or process sound but never hold a call, named exactly as the audio layer reports
// them (executable or Flatpak id): the sound servers' command-line recorders (pw-record runs as pw-cat,
// parecord as pacat), ALSA's and sox's, audio editors, screen and stream recorders, voice recorders and
// dictation tools; and this program itself, whatever starts it (`--record` from a terminal, a second copy).
// Exact names only: a prefix such as "rec" would catch unrelated programs, and nothing here may ever hide
// a browser or a call application.
constexpr std::array<std::string_view, 39> recordingTools{
    "pw-cat",
    "pw-record",
    "pacat",
    "parecord",
    "parec",
    "arecord",
    "rec",
    "sox",
    "ffmpeg",
    "gst-launch-1.0",
    "audacity",
    "org.audacityteam.Audacity",
    "tenacity",
    "org.tenacityaudio.Tenacity",
    "ocenaudio",
    "com.ocenaudio.ocenaudio",
    "kwave",
    "org.kde.kwave",
    "ardour",
    "ardour8",
    "ardour7",
    "ardour6",
    "obs",
    "com.obsproject.Studio",
    "simplescreenrecorder",
    "vokoscreenNG",
    "com.github.vkohaupt.vokoscreenNG",
    "kazam",
    "recordmydesktop",
    "gpu-screen-recorder",
    "com.dec05eba.gpu_screen_recorder",
    "kooha",
    "io.github.seadve.Kooha",
    "spectacle",
    "org.kde.spectacle",
    "audio-recorder",
    "nerd-dictation",
    "quillora",
    "com.tandrevel.Quillora",
};

// Pieces that mark a helper or audio-service process of an application. ".framework.audioservice" is
// tried before ".audioservice" so that it is cut whole.
constexpr std::array<std::string_view, 3> componentMarkers{".helper", ".framework.audioservice",
                                                           ".audioservice"};

template <std::size_t N>
bool startsWithAny(const std::string& identifier, const std::array<std::string_view, N>& prefixes) {
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](std::string_view prefix) { return identifier.starts_with(prefix); });
}

bool contains(const std::string& text, std::string_view piece) {
    return text.find(piece) != std::string::npos;
}

} // namespace

std::vector<std::string> callApps(const std::vector<MicrophoneClient>& clients, int32_t ownPID) {
    std::vector<std::string> apps;
    for (const MicrophoneClient& client : clients) {
        if (client.pid == ownPID || client.bundleID.empty() ||
            startsWithAny(client.bundleID, systemComponentPrefixes) ||
            startsWithAny(client.bundleID, linuxComponentPrefixes) ||
            std::find(recordingTools.begin(), recordingTools.end(), client.bundleID) !=
                recordingTools.end()) {
            continue;
        }
        std::string app = normalize(client.bundleID);
        // An identifier that is nothing but a marker (".helper...") names no application.
        if (!app.empty() && std::find(apps.begin(), apps.end(), app) == apps.end()) {
            apps.push_back(std::move(app));
        }
    }
    return apps;
}

// No extra folding is needed for Linux applications: their helper processes run the application's own
// executable and report its name (Chromium's audio utility process reports "chromium", every Firefox
// process "firefox" or "firefox-esr", an Electron app's processes the app's executable), and every process
// in a Flatpak sandbox carries the sandbox's application id.
std::string normalize(const std::string& bundleID) {
    if (contains(bundleID, "avconferenced") || contains(bundleID, "FaceTime") ||
        contains(bundleID, "TelephonyUtilities")) {
        return "com.apple.FaceTime";
    }
    if (bundleID.starts_with("com.apple.WebKit")) {
        return "com.apple.Safari";
    }
    // The markers are ASCII: lower-casing only ASCII letters (whatever the locale) keeps every byte where it
    // was, so the position found in the copy is the cut position in the identifier itself.
    std::string lower = bundleID;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    for (std::string_view marker : componentMarkers) {
        if (const std::size_t at = lower.find(marker); at != std::string::npos) {
            return bundleID.substr(0, at);
        }
    }
    return bundleID;
}

std::vector<MicrophoneClient> microphoneClients() {
    AudioHardware& hardware = AudioHardware::shared();
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyProcessObjectList,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    uint32_t size = 0;
    if (hardware.getPropertyDataSize(kAudioObjectSystemObject, address, 0, nullptr, &size) !=
            kAudioHardwareNoError ||
        size == 0) {
        return {};
    }
    std::vector<AudioObjectID> processes(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    uint32_t dataSize = static_cast<uint32_t>(processes.size() * sizeof(AudioObjectID));
    if (hardware.getPropertyData(kAudioObjectSystemObject, address, 0, nullptr, &dataSize,
                                 processes.data()) != kAudioHardwareNoError) {
        return {};
    }
    // The list may have shrunk between the two calls: keep only the ids actually written.
    processes.resize(std::min<std::size_t>(processes.size(), dataSize / sizeof(AudioObjectID)));

    std::vector<MicrophoneClient> clients;
    for (AudioObjectID process : processes) {
        try {
            if (CoreAudio::value<uint32_t>(process, kAudioProcessPropertyIsRunningInput,
                                           kAudioObjectPropertyScopeGlobal, 0) == 0) {
                continue;
            }
        } catch (const CoreAudioError&) {
            continue;
        }
        MicrophoneClient client;
        try {
            client.pid = CoreAudio::value<int32_t>(process, kAudioProcessPropertyPID,
                                                   kAudioObjectPropertyScopeGlobal, 0);
        } catch (const CoreAudioError&) {
            client.pid = 0;
        }
        try {
            client.bundleID = CoreAudio::string(process, kAudioProcessPropertyBundleID);
        } catch (const CoreAudioError&) {
            client.bundleID.clear();
        }
        clients.push_back(std::move(client));
    }
    return clients;
}

} // namespace CallDetector
