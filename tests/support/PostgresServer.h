#pragma once

// A PostgreSQL server of the test's own: a cluster made with initdb in a folder of the test,
// listening only on a Unix socket in that folder, on a port of its own, with password logins.
// Run as the "postgres" user when the tests run as root (the server refuses root). Stopped, and
// its folder removed with the test's, when it goes.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>
#include <QUrl>

#include <string>

#ifndef _WIN32
#include <pwd.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace qvtest {

class PostgresServer {
  public:
    // folder: empty, made by the caller. skipReason is set when no server can run here.
    explicit PostgresServer(const QString& folder) : folder_(folder) {
#ifdef _WIN32
        skipReason_ = QStringLiteral("the PostgreSQL tests run on Linux");
#else
        const QStringList found = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString& version : found) {
            const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(version);
            if (QFileInfo::exists(bin + QStringLiteral("/initdb")) && QFileInfo::exists(bin + QStringLiteral("/pg_ctl")))
                bin_ = bin;
        }
        if (bin_.isEmpty()) {
            skipReason_ = QStringLiteral("no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb; "
                                         "Debian's postgresql-15, which scripts/install-deps.sh installs)");
            return;
        }
        if (::geteuid() == 0) {
            if (!::getpwnam("postgres")) {
                skipReason_ = QStringLiteral("running as root without a \"postgres\" user to run the server as");
                return;
            }
            runAs_ = QStringLiteral("postgres");
        }
        port_ = 20000 + int(::getpid() % 20000);
#endif
    }
    ~PostgresServer() { stop(); }

    const QString& skipReason() const { return skipReason_; }

    // Makes the cluster, starts it and makes the role "station" (password "secret") owning the
    // database "line". False with a message on failure.
    bool start(QString& error) {
        QDir().mkpath(folder_);
        QFile pw(folder_ + QStringLiteral("/admin.pw"));
        if (!pw.open(QIODevice::WriteOnly) || pw.write("admin-secret\n") < 0) {
            error = QStringLiteral("cannot write the admin password file");
            return false;
        }
        pw.close();
        if (!runAs_.isEmpty()) {
            QProcess::execute(QStringLiteral("chown"), {QStringLiteral("-R"), runAs_, folder_});
            QFile::setPermissions(folder_, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                               QFileDevice::ReadOther | QFileDevice::ExeOther);
        }
        if (!tool(QStringLiteral("initdb"),
                  {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"), QStringLiteral("admin"),
                   QStringLiteral("--auth=scram-sha-256"), QStringLiteral("--pwfile=") + folder_ + QStringLiteral("/admin.pw"),
                   QStringLiteral("--no-sync")},
                  error))
            return false;
        if (!startServer(error))
            return false;
        return sql(QStringLiteral("CREATE ROLE station LOGIN PASSWORD 'secret'"), error) &&
               sql(QStringLiteral("CREATE DATABASE line OWNER station"), error);
    }

    bool startServer(QString& error) {
        return tool(QStringLiteral("pg_ctl"),
                    {QStringLiteral("-D"), dataDir(), QStringLiteral("-w"), QStringLiteral("-l"),
                     folder_ + QStringLiteral("/server.log"), QStringLiteral("-o"),
                     QStringLiteral("-k %1 -p %2 -c listen_addresses='' -c fsync=off").arg(folder_).arg(port_),
                     QStringLiteral("start")},
                    error);
    }

    // Stops the server at once, as a crash or a pulled network cable would.
    bool stop() {
        if (!QFileInfo::exists(dataDir() + QStringLiteral("/postmaster.pid")))
            return true;
        QString ignored;
        return tool(QStringLiteral("pg_ctl"),
                    {QStringLiteral("-D"), dataDir(), QStringLiteral("-w"), QStringLiteral("-m"), QStringLiteral("immediate"),
                     QStringLiteral("stop")},
                    ignored);
    }

#ifndef _WIN32
    // Freezes every process of the server (SIGSTOP to the postmaster first, so that it starts no
    // other, then to each of its children, which have sessions of their own), as a hung machine
    // would: connections stay open and nothing answers. thaw() lets it go on (SIGCONT).
    bool freeze() { return signalGroup(SIGSTOP); }
    bool thaw() { return signalGroup(SIGCONT); }
#endif

    // The URI a station uses; user, password and database may be changed for refusals.
    std::string url(const QString& user = QStringLiteral("station"), const QString& password = QStringLiteral("secret"),
                    const QString& database = QStringLiteral("line")) const {
        // Put together, not formatted: the encoded folder is full of '%'.
        return (QStringLiteral("postgresql://") + user + QLatin1Char(':') + password + QStringLiteral("@/") + database +
                QStringLiteral("?host=") + QString::fromLatin1(QUrl::toPercentEncoding(folder_)) +
                QStringLiteral("&port=") + QString::number(port_))
            .toStdString();
    }

    // Runs one statement as the administrator; its output (unaligned, tuples only) in out.
    bool sql(const QString& statement, QString& error, QString* out = nullptr, const QString& database = QStringLiteral("postgres")) {
        QProcess psql;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PGPASSWORD"), QStringLiteral("admin-secret"));
        psql.setProcessEnvironment(env);
        psql.start(bin_ + QStringLiteral("/psql"),
                   {QStringLiteral("-X"), QStringLiteral("-A"), QStringLiteral("-t"), QStringLiteral("-v"),
                    QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), folder_, QStringLiteral("-p"),
                    QString::number(port_), QStringLiteral("-U"), QStringLiteral("admin"), QStringLiteral("-d"), database,
                    QStringLiteral("-c"), statement});
        if (!psql.waitForFinished(60000) || psql.exitCode() != 0) {
            error = QString::fromLocal8Bit(psql.readAllStandardError());
            return false;
        }
        if (out)
            *out = QString::fromUtf8(psql.readAllStandardOutput()).trimmed();
        return true;
    }

    const QString& folder() const { return folder_; }
    int port() const { return port_; }

  private:
    QString dataDir() const { return folder_ + QStringLiteral("/data"); }

#ifndef _WIN32
    bool signalGroup(int signal) {
        QFile pidFile(dataDir() + QStringLiteral("/postmaster.pid"));
        if (!pidFile.open(QIODevice::ReadOnly))
            return false;
        const long postmaster = pidFile.readLine().trimmed().toLong();
        if (postmaster <= 1 || ::kill(pid_t(postmaster), signal) != 0)
            return false;
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            // "pid (name) state ppid ...": the name may hold spaces, the fields after it do not.
            const QByteArray text = stat.readAll();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 1 && fields.at(1).toLong() == postmaster)
                ::kill(pid_t(entry.toLong()), signal);
        }
        return true;
    }
#endif

    bool tool(const QString& name, QStringList args, QString& error) {
        QProcess p;
        QString program = bin_ + QLatin1Char('/') + name;
        if (!runAs_.isEmpty()) {
            args.prepend(program);
            args.prepend(QStringLiteral("--"));
            args.prepend(runAs_);
            args.prepend(QStringLiteral("-u"));
            program = QStringLiteral("runuser");
        }
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            error = name + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAll());
            return false;
        }
        return true;
    }

    QString folder_;
    QString bin_;
    QString runAs_;
    QString skipReason_;
    int port_ = 0;
};

}  // namespace qvtest
