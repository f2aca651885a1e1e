#include "QuilloraCore/SystemAudioTap.h"

#include "QuilloraCore/CoreAudioHelpers.h"

#include <QUuid>
#include <unistd.h>

SystemAudioTap::SystemAudioTap() {
    std::vector<AudioObjectID> excluded;
    try {
        excluded.push_back(CoreAudio::processObject(static_cast<int32_t>(getpid())));
    } catch (const CoreAudioError&) {
        // Without our own process object the tap also hears what we play; not worth failing over.
    }

    CATapDescription description = CATapDescription::stereoGlobalTapButExcludeProcesses(std::move(excluded));
    description.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    description.name = "Quillora";
    description.muteBehavior = CATapDescription::unmuted; // the user keeps hearing the call
    description.isPrivate = true;

    AudioObjectID tap = kAudioObjectUnknown;
    const OSStatus status = AudioHardware::shared().createProcessTap(description, &tap);
    if (status != kAudioHardwareNoError) {
        throw CoreAudioError(
            "Accesso all'audio di sistema (controlla il permesso «Registrazione audio di sistema»)", status);
    }
    tapID_ = tap;
    uid_ = QString::fromStdString(description.uuid).toUpper().toStdString();
}

std::optional<AudioStreamBasicDescription> SystemAudioTap::format() const {
    try {
        return CoreAudio::value(tapID_, kAudioTapPropertyFormat, kAudioObjectPropertyScopeGlobal,
                                AudioStreamBasicDescription{});
    } catch (const CoreAudioError&) {
        return std::nullopt;
    }
}
