#include "Platform/Audio/AudioHardware.h"
#include "Platform/Files/PrivateFiles.h"
#include "Quillora/CommandLine/CommandLine.h"
#include "Quillora/CommandLine/HeadlessRecording.h"
#include "Quillora/Desktop/QuilloraApp.h"
#include "QuilloraCore/Diagnostics.h"
#include "QuilloraCore/Probe.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>

namespace {

constexpr const char* usage = R"(Usage:
  quillora [--demo | --autostart]
  quillora --record [SECONDS] [--out FILE.m4a] [--debug-tracks DIR] [--no-mic] [--cycles N]
  quillora --probe REPORT.txt
  quillora --help | --version

  (no option)          the tray application: offers to record when a call starts
  --demo               the tray application showing its panels with made-up values
  --autostart          the tray application started at login: no window even without a tray; a copy
                       already running is left as it is (without it, a running copy shows its window)
  --record [SECONDS]   record the computer's audio and the microphone for SECONDS (default 10) without
                       any window, then print a JSON summary (also written to FILE.m4a.json)
  --out FILE.m4a       where the recording goes (default: a new "Chiamata ..." file in the music folder)
  --debug-tracks DIR   also write the unprocessed voice and call as DIR/mic.wav and DIR/system.wav
  --no-mic             record the computer's audio only
  --cycles N           make N-1 short recordings first (FILE.cicloK.m4a), then the final one
  --probe REPORT.txt   try each way of capturing audio on this machine and write a report (about 15 s)

Ctrl+C during --record ends the recording early; the file and the summary are finished as usual.
--record exits with 0, or 1 when the recording could not start or failed on its way.

Environment:
  QUILLORA_AUDIO_BACKEND=simulated   use the built-in simulated audio system instead of PipeWire
  QUILLORA_INFO_INI=FILE             read the version and the service addresses from FILE instead of
                                     the installed Info.ini
  QT_QPA_PLATFORM                    the tray application uses XWayland (xcb) on a Wayland session
                                     unless this is set
  XDG_STATE_HOME, XDG_CONFIG_HOME    move the log and the preferences (see Files)

Files:
  ~/Music/Quillora/                  recordings, "Chiamata YYYY-MM-DD HH.mm.m4a", in the music folder
                                     that ~/.config/user-dirs.dirs names (XDG_MUSIC_DIR)
  ~/.local/state/Quillora/quillora.log
                                     the diagnostics log, also sent to the journal (journalctl -t quillora)
  ~/.config/Tandrevel/Quillora.conf  preferences and the panels' positions
  /usr/share/quillora/Info.ini       version and update feed (../share/quillora/ from the program)
)";

int runProbe(const QString& path) {
    std::string text;
    for (const auto& line : Probe::run()) {
        text += line + "\n";
    }
    // The report describes this machine's audio devices and what they delivered: owner-only,
    // replaced atomically.
    std::string ignored;
    PrivateFiles::replaceFile(QFile::encodeName(path).toStdString(), text, ignored);
    Diagnostics::flush();
    AudioHardware::setShared(nullptr);
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // The graphical program needs its own application object: choose before creating one.
    QStringList given;
    for (int index = 0; index < argc; ++index) {
        given.append(QString::fromLocal8Bit(argv[index]));
    }
    const bool headless = CommandLine::has(given, QStringLiteral("--probe")) ||
                          CommandLine::has(given, QStringLiteral("--record")) ||
                          CommandLine::has(given, QStringLiteral("--help")) ||
                          CommandLine::has(given, QStringLiteral("-h")) ||
                          CommandLine::has(given, QStringLiteral("--version"));
    if (!headless) {
        return QuilloraApp::main(argc, argv);
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tandrevel"));
    QCoreApplication::setApplicationName(QStringLiteral("Quillora"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLORA_VERSION));
    const QStringList arguments = QCoreApplication::arguments();

    // The probe comes first, whatever else is on the line. What follows "--probe" is its report unless it
    // is another option.
    const bool probe = CommandLine::has(arguments, QStringLiteral("--probe"));
    if (const auto report = CommandLine::value(arguments, QStringLiteral("--probe"));
        report && !report->startsWith(QStringLiteral("--"))) {
        return runProbe(*report);
    }
    if (probe && !CommandLine::has(arguments, QStringLiteral("--record"))) {
        std::fputs("quillora: --probe richiede il percorso del report da scrivere (vedi --help).\n", stderr);
        return 2;
    }
    if (CommandLine::has(arguments, QStringLiteral("--help")) ||
        CommandLine::has(arguments, QStringLiteral("-h"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (CommandLine::has(arguments, QStringLiteral("--version"))) {
        std::printf("quillora %s\n", QUILLORA_VERSION);
        return 0;
    }
    // Only "--record" is left (the headless choice above); it never returns.
    HeadlessRecording::run(arguments);
}
