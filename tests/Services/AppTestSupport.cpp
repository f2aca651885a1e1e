#include "AppTestSupport.h"

#include "QuilloraCore/Diagnostics.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTcpSocket>
#include <QThread>
#include <algorithm>
#include <gtest/gtest.h>

LocalHttpServer::LocalHttpServer() {
    if (!server_.listen(QHostAddress::LocalHost, 0)) {
        qFatal("the test server cannot listen on 127.0.0.1");
    }
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        }
    });
}

QString LocalHttpServer::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path);
}

void LocalHttpServer::serve(QTcpSocket* socket) {
    // Wait for the whole request: headers, then Content-Length bytes of body.
    const QByteArray buffered = socket->peek(socket->bytesAvailable());
    const qsizetype headerEnd = buffered.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        return;
    }
    Request request;
    const QList<QByteArray> lines = buffered.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0) {
            request.headers[lines[i].left(colon).trimmed().toLower()] = lines[i].mid(colon + 1).trimmed();
        }
    }
    const qsizetype length = request.headers.value("content-length", "0").toLongLong();
    if (buffered.size() < headerEnd + 4 + length) {
        return;
    }
    socket->read(headerEnd + 4 + length);
    request.body = buffered.mid(headerEnd + 4, length);
    requests_.append(request);

    const Reply reply = replies_.value(request.path, Reply{404, "text/plain", "not found", {}, false});
    if (reply.hang) {
        return;
    }
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(reply.status) + " Canned\r\n";
    answer += "Content-Type: " + reply.contentType + "\r\n";
    answer += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    for (const auto& [name, value] : reply.headers) {
        answer += name + ": " + value + "\r\n";
    }
    answer += "Connection: close\r\n\r\n" + reply.body;
    socket->write(answer);
    socket->disconnectFromHost();
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

InfoIni::InfoIni(const QStringList& lines) {
    QFile file(path());
    if (!file.open(QIODevice::WriteOnly) || file.write((lines.join('\n') + '\n').toUtf8()) < 0) {
        qFatal("cannot write the test's Info.ini");
    }
    file.close();
    qputenv("QUILLORA_INFO_INI", path().toUtf8());
}

InfoIni::~InfoIni() {
    // A newer InfoIni may have taken over already.
    if (qEnvironmentVariable("QUILLORA_INFO_INI") == path()) {
        qunsetenv("QUILLORA_INFO_INI");
    }
}

QString logText() {
    Diagnostics::flush();
    QFile file(QString::fromStdString(Diagnostics::fileURL().string()));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void writeFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                file.write(contents) == contents.size())
        << path.toStdString();
}

QByteArray appcastFeed(const QByteArray& version, const QByteArray& shortVersion,
                       const QByteArray& enclosures) {
    return "<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
           "<item><title>Quillora</title><link>https://example.org/quillora/releases</"
           "link><sparkle:version>" +
           version + "</sparkle:version><sparkle:shortVersionString>" + shortVersion +
           "</sparkle:shortVersionString>" + enclosures + "</item></channel></rss>";
}

namespace {

// Cancels its entry when the model drops it.
struct ManualTimer final : ModelTimer {
    explicit ManualTimer(std::shared_ptr<ManualClock::Entry> timed) : entry(std::move(timed)) {}
    ~ManualTimer() override { entry->cancelled = true; }
    std::shared_ptr<ManualClock::Entry> entry;
};

} // namespace

std::shared_ptr<ManualClock::Entry> ManualClock::add(std::chrono::milliseconds delay,
                                                     std::chrono::milliseconds interval,
                                                     std::function<void()> body) {
    auto entry = std::make_shared<Entry>(Entry{now_ + delay, interval, std::move(body), nextOrder_++, false});
    entries_.push_back(entry);
    return entry;
}

std::unique_ptr<ModelTimer> ManualClock::repeat(std::chrono::milliseconds interval,
                                                std::function<void()> body) {
    return std::make_unique<ManualTimer>(add(interval, interval, std::move(body)));
}

void ManualClock::once(std::chrono::milliseconds delay, std::function<void()> body) {
    add(delay, std::chrono::milliseconds(0), std::move(body));
}

void ManualClock::advance(std::chrono::milliseconds duration) {
    const TimePoint target = now_ + duration;
    for (;;) {
        std::erase_if(entries_, [](const auto& entry) { return entry->cancelled; });
        const auto next =
            std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
                return a->due != b->due ? a->due < b->due : a->order < b->order;
            });
        if (next == entries_.end() || (*next)->due > target) {
            break;
        }
        const std::shared_ptr<Entry> entry = *next;
        now_ = entry->due;
        entry->cancelled = entry->interval.count() == 0;
        entry->due += entry->interval;
        entry->order = nextOrder_++;
        entry->body(); // may add or cancel entries
    }
    now_ = target;
}

SimulatedAudioHardware::DeviceConfig simulatedDevice(const std::string& name, std::vector<int> inputStreams,
                                                     std::vector<int> outputStreams) {
    SimulatedAudioHardware::DeviceConfig device;
    device.name = name;
    device.uid = name;
    device.inputStreams = std::move(inputStreams);
    device.outputStreams = std::move(outputStreams);
    device.input = device.output = SimulatedAudioHardware::Signal::tone(220, 0.2f);
    return device;
}

ModelHarness::ModelHarness() {
    QSettings().clear();
    auto hardware = std::make_unique<SimulatedAudioHardware>();
    sim = hardware.get();
    AudioHardware::setShared(std::move(hardware));
    sim->setClockMode(SimulatedAudioHardware::ClockMode::realTime);
    sim->addDevice(simulatedDevice("Altoparlanti", {}, {2}));
    mic = sim->addDevice(simulatedDevice("Cuffie R&D USB", {1}, {})); // "&" is not a menu mnemonic here
    makeModel();
}

ModelHarness::~ModelHarness() {
    if (model) {
        model->stop();
        model->setViews(nullptr);
    }
    model.reset(); // releases its recorder before the audio system goes
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    AudioHardware::setShared(nullptr);
}

void ModelHarness::makeModel() {
    auto manual = std::make_unique<ManualClock>();
    clock = manual.get();
    auto fake = std::make_unique<RecordingServices>();
    services = fake.get();
    RecorderModel::Options options;
    options.clock = std::move(manual);
    options.services = std::move(fake);
    options.recordingsDirectory = [this] { return std::filesystem::path(folder.path().toStdString()); };
    model = std::make_unique<RecorderModel>(std::move(options));
    model->setViews(&views);
}

bool ModelHarness::startRecording() {
    model->start();
    return waitUntil([this] { return !model->isAwaitingPermission(); }) && model->isRecording();
}
