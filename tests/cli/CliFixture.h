#pragma once

// qv310 end to end: the program run as a child process against virtual programmers run as
// child processes, compared with the same operations driven as the window drives them.

#include "app/FirmwareUpdate.h"
#include "app/TargetOperations.h"
#include "app/UiFlashOperations.h"
#include "engine/ProgrammerSession.h"
#include "support/ChildProcess.h"
#include "support/JsonSchema.h"
#include "support/RecordingHost.h"
#include "uiflash/TestImages.h"
#include "vprog/VirtualProgrammer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;
using qvtest::Child;
using qvtest::readFile;
using Bytes = std::vector<uint8_t>;

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace clitest {

inline void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::string sha256Of(const Bytes& bytes) {
    return QCryptographicHash::hash(
               QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())),
               QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// Code image with a harmless running address (0x0000A101).
inline Bytes codeImage(size_t n, uint32_t seed) {
    Bytes b = uitest::pattern(n, seed);
    uitest::putLe32(b, 4, 0x0000A101);
    return b;
}

// A firmware file for the default board MCU with version 0x200101 at 0x1000.
inline Bytes firmwareImage(size_t n) {
    Bytes b = uitest::pattern(n, 77);
    b[0x1000] = 0x20;
    b[0x1001] = 0x01;
    b[0x1002] = 0x01;
    uitest::putBe32(b, 0x1004, 0x19710310);
    return b;
}

inline Bytes parseHex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte)
        bytes.push_back(uint8_t(std::stoul(byte, nullptr, 16)));
    return bytes;
}

// Log lines without the time stamps, which differ from run to run.
inline QStringList withoutTimestamps(const QStringList& lines) {
    QStringList kept;
    for (const QString& line : lines) {
        if (!line.startsWith(QLatin1String("Timer:")) && line != QLatin1String("<clear>"))
            kept << line;
    }
    return kept;
}

struct Programmer {
    std::string name;
    std::string devicePath;
    std::unique_ptr<Child> child;
};

// What the operations send and log when driven as the window drives them.
struct Reference {
    std::vector<Bytes> requests;
    QStringList log;
};

// The window's way: one programmer session with the window's polling, driven slot by slot.
struct WindowOperations {
    explicit WindowOperations(const std::string& path) : path(QString::fromStdString(path)) {
        host.texts[qv::TextField::McuCodeAddr] = QStringLiteral("0xA000");
    }
    // "Open programmer", the operation, and the end of the run (as qv310 ends each run).
    void press(const std::function<void(WindowOperations&)>& operation) {
        session.open(path);
        operation(*this);
        session.close();
    }
    QString path;
    qvtest::RecordingHost host;
    qv::engine::ProgrammerSession session{host, qv::Pacing::standard()};
    qv::TargetOperations target{session.link, host};
    qv::UiFlashOperations ui{session.link, host};
    qv::FirmwareUpdate firmware{session.link, host};
};

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        QTemporaryDir made(QDir::tempPath() + QStringLiteral("/qv310-cli-test-XXXXXX"));
        ASSERT_TRUE(made.isValid());
        made.setAutoRemove(false);
        base_ = made.path().toStdString();
        runtime_ = base_ + "/xdg";
        fs::create_directories(runtime_);
        fs::create_directories(base_ + "/data");
        fs::create_directories(base_ + "/tmp");
        // Private runtime, data and temporary folders: the virtual programmers, the catalogue
        // search and the staging folder of each run are the test's own. (On Windows the virtual
        // programmers are named pipes that every process sees; the tests give theirs names of
        // their own and choose them by path.)
        env_ = qvtest::environmentWith({{"XDG_RUNTIME_DIR", runtime_},
                                        {"XDG_DATA_HOME", base_ + "/data"},
                                        {"TMPDIR", base_ + "/tmp"},
#ifdef _WIN32
                                        {"LOCALAPPDATA", base_ + "/data"},
                                        {"TMP", base_ + "/tmp"},
                                        {"TEMP", base_ + "/tmp"},
#endif
                                        });
        fs::copy_file(QV_SOURCE_DIR "/data/Flash.ini", base_ + "/Flash.ini");
        previousDirectory_ = QDir::currentPath();
        QDir::setCurrent(QString::fromStdString(base_));
    }
    void TearDown() override {
        programmers_.clear();
        QDir::setCurrent(previousDirectory_);
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    Programmer& startProgrammer(const std::string& name, std::vector<std::string> extra = {}) {
        auto p = std::make_unique<Programmer>();
        p->name = name;
        p->child = std::make_unique<Child>();
        std::vector<std::string> args = {"--name",
                                         name,
                                         "--trace",
                                         "--dump-code",
                                         base_ + "/" + name + ".code",
                                         "--dump-spi",
                                         base_ + "/" + name + ".spi"};
        args.insert(args.end(), extra.begin(), extra.end());
#ifdef _WIN32
        // A test under Wine has no console to send Ctrl+C through: the programmer stops when its
        // input ends.
        args.push_back("--stop-at-eof");
        const std::string input = Child::kInputPipe;
#else
        const std::string input;
#endif
        EXPECT_TRUE(p->child->start(QV_VPROG_PROGRAM, args, env_, base_ + "/" + name + ".out",
                                    base_ + "/" + name + ".trace", {}, input));
        const std::string marker = "Device path: ";
        for (int i = 0; i < 1000; ++i) {
            const std::string out = p->child->out();
            const size_t at = out.find(marker);
            if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
                p->devicePath = out.substr(at + marker.size(), out.find('\n', at) - at - marker.size());
                if (!p->devicePath.empty() && p->devicePath.back() == '\r')
                    p->devicePath.pop_back();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_FALSE(p->devicePath.empty()) << "virtual programmer " << name << " did not start";
        programmers_.push_back(std::move(p));
        return *programmers_.back();
    }

    // Stops the programmer, which saves its memories.
    void stop(Programmer& p) {
#ifdef _WIN32
        p.child->closeInput();
#else
        p.child->terminate();
#endif
        EXPECT_EQ(p.child->wait(10000), 0);
    }

    // Every request the programmer received, from its trace.
    std::vector<Bytes> requests(const Programmer& p) const {
        std::vector<Bytes> list;
        std::istringstream in(readFile(base_ + "/" + p.name + ".trace"));
        const std::string prefix = p.name + " <- ";
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(prefix, 0) == 0)
                list.push_back(parseHex(line.substr(prefix.size())));
        }
        return list;
    }

    struct Run {
        int code = -1;
        std::string out;
        std::string err;
    };
    Run qv310(const std::vector<std::string>& args) {
        Child child;
        const std::string tag = std::to_string(runs_++);
        EXPECT_TRUE(child.start(QV_CLI_PROGRAM, args, env_, base_ + "/run" + tag + ".out",
                                base_ + "/run" + tag + ".err", base_));
        Run r;
        r.code = child.wait();
        r.out = child.out();
        r.err = child.err();
        return r;
    }

    // The same presses on an in-process virtual programmer of its own (invisible to qv310).
    Reference reference(const std::vector<std::function<void(WindowOperations&)>>& presses,
                        const std::function<void(vprog::Options&)>& configure = {}) {
        vprog::Options options;
        options.name = "reference";
        options.directory = referenceDirectory();
        if (configure)
            configure(options);
        Reference ref;
        {
            vprog::VirtualProgrammer programmer(options);
            EXPECT_TRUE(programmer.plugged());
            for (const auto& press : presses) {
                // Each press gets the programmer as a fresh run of qv310 finds it.
                EXPECT_TRUE(programmer.waitPlugged(5000));
                WindowOperations ops(programmer.devicePath());
                ops.press(press);
                ref.log << ops.host.fullLog;
            }
            programmer.withModel([&](vprog::DeviceModel& m) { ref.requests = m.requestLog(); });
        }
        ref.log = withoutTimestamps(ref.log);
        return ref;
    }

    std::string path(const std::string& name) const { return base_ + "/" + name; }

    // Where the in-process reference programmers plug in: a place qv310 does not search.
    std::string referenceDirectory() const {
#ifdef _WIN32
        return "\\\\.\\pipe\\qv310-test-reference";
#else
        return base_ + "/reference";
#endif
    }

    std::string base_;
    std::string runtime_;
    QProcessEnvironment env_;
    QString previousDirectory_;
    std::vector<std::unique_ptr<Programmer>> programmers_;
    int runs_ = 0;
};

// Every line of a --json run is one JSON object; returns them.
inline std::vector<QJsonObject> jsonLines(const std::string& out) {
    std::vector<QJsonObject> events;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_TRUE(error.error == QJsonParseError::NoError && doc.isObject())
            << "not a JSON object: " << line;
        events.push_back(doc.object());
    }
    return events;
}

inline QStringList logLines(const std::vector<QJsonObject>& events) {
    QStringList lines;
    for (const QJsonObject& e : events) {
        if (e.value(QStringLiteral("event")).toString() == QLatin1String("log"))
            lines << e.value(QStringLiteral("line")).toString();
    }
    return withoutTimestamps(lines);
}

// Every event is held against the published schema (docs/qv310-events.schema.json).
inline void checkSchema(const QJsonObject& e) {
    static const qvtest::JsonSchema schema(QStringLiteral(QV_SOURCE_DIR "/docs/qv310-events.schema.json"));
    const QStringList errors = schema.check(e);
    EXPECT_TRUE(errors.isEmpty()) << QJsonDocument(e).toJson(QJsonDocument::Compact).toStdString() << "\n"
                                  << errors.join(QLatin1Char('\n')).toStdString();
}

// The events of a --json run, each held against the schema; the first is hello and the last end.
inline std::vector<QJsonObject> checkedEvents(const std::string& out) {
    std::vector<QJsonObject> events = jsonLines(out);
    for (const QJsonObject& e : events)
        checkSchema(e);
    EXPECT_FALSE(events.empty());
    if (!events.empty()) {
        EXPECT_EQ(events.front().value(QStringLiteral("event")).toString(), QStringLiteral("hello")) << out;
        EXPECT_EQ(events.back().value(QStringLiteral("event")).toString(), QStringLiteral("end")) << out;
    }
    return events;
}

// The events of one kind.
inline std::vector<QJsonObject> eventsOf(const std::vector<QJsonObject>& events, const char* kind) {
    std::vector<QJsonObject> found;
    for (const QJsonObject& e : events) {
        if (e.value(QStringLiteral("event")).toString() == QLatin1String(kind))
            found.push_back(e);
    }
    return found;
}

}  // namespace clitest
