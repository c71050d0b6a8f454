#ifndef TESTS_NETGUARD_H
#define TESTS_NETGUARD_H

#include <QDir>
#include <QFile>
#include <QtGlobal>
#include <QNetworkInterface>
#include <QString>
#include <QStringList>

#include <fstream>
#include <string>

// These tests broadcast to 255.255.255.255. They run only in a private network
// namespace (scripts/test makes one), where loopback is the only interface.
inline bool inPrivateNetwork()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &i : interfaces) {
        if (!(i.flags() & QNetworkInterface::IsLoopBack))
            return false;
    }
    return true;
}

#define REQUIRE_PRIVATE_NETWORK()                                                                  \
    do {                                                                                           \
        if (!inPrivateNetwork())                                                                   \
            QFAIL("this test broadcasts: run it through scripts/test, which gives it a private "   \
                  "network namespace");                                                            \
    } while (false)

// Sets an environment variable for the life of the object, then restores it.
class EnvironmentVariable
{
public:
    EnvironmentVariable(const char *name, const QByteArray &value)
        : m_name(name), m_was(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~EnvironmentVariable()
    {
        if (m_was)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    EnvironmentVariable(const EnvironmentVariable &) = delete;
    EnvironmentVariable &operator=(const EnvironmentVariable &) = delete;

private:
    const char *m_name;
    bool m_was;
    QByteArray m_old;
};

// The files mapped into this process that belong to a proxy lookup: libproxy
// (Qt 6's system proxy lookup), its backend and modules, and the JavaScript
// engine it runs auto-configuration scripts with (duktape).
inline QStringList proxyLibrariesMapped()
{
    QStringList found;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const std::string::size_type slash = line.find('/');
        if (slash == std::string::npos)
            continue;
        const std::string path = line.substr(slash);
        if (path.find("libproxy") != std::string::npos ||
            path.find("libpxbackend") != std::string::npos ||
            path.find("duktape") != std::string::npos)
            found << QString::fromStdString(path);
    }
    found.removeDuplicates();
    found.sort();
    return found;
}

// What the dynamic loader mapped before main(): the libraries that the test's
// own libraries need. Debian links libQt6Network with libproxy, so under Qt 6
// libproxy.so itself (and, with libproxy 0.5, its backend and duktape) is
// mapped from the start; what a lookup adds is its use: the factory, the
// modules it loads, its thread and the script engine's set-up.
inline const QStringList proxyLibrariesAtLoad = proxyLibrariesMapped();

// This process's threads that a proxy lookup starts: Qt 6's "QLibProxyWrapper"
// (at most 15 characters in comm).
inline QStringList proxyThreads()
{
    QStringList found;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (!comm.open(QIODevice::ReadOnly))
            continue;
        const QString name = QString::fromUtf8(comm.readAll().trimmed());
        if (name.contains(QLatin1String("proxy"), Qt::CaseInsensitive))
            found << name;
    }
    return found;
}

// No proxy lookup has happened in this process: nothing proxy-related was
// mapped after start (under Qt 5 nothing at all) and no proxy thread runs.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#define VERIFY_NO_PROXY_AT_LOAD()                                                                  \
    QVERIFY2(proxyLibrariesAtLoad.isEmpty(),                                                       \
             qPrintable(QStringLiteral("mapped at load: ") +                                       \
                        proxyLibrariesAtLoad.join(QLatin1Char(' '))))
#else
#define VERIFY_NO_PROXY_AT_LOAD() ((void)0)
#endif
#define VERIFY_NO_PROXY_LOOKUP()                                                                   \
    do {                                                                                           \
        VERIFY_NO_PROXY_AT_LOAD();                                                                 \
        const QStringList mappedNow = proxyLibrariesMapped();                                      \
        QVERIFY2(mappedNow == proxyLibrariesAtLoad,                                                \
                 qPrintable(QStringLiteral("proxy libraries mapped: ") +                           \
                            mappedNow.join(QLatin1Char(' ')) + QStringLiteral("; at load: ") +     \
                            proxyLibrariesAtLoad.join(QLatin1Char(' '))));                         \
        QVERIFY2(proxyThreads().isEmpty(),                                                         \
                 qPrintable(QStringLiteral("proxy threads: ") +                                    \
                            proxyThreads().join(QLatin1Char(' '))));                               \
    } while (false)

#endif // TESTS_NETGUARD_H
