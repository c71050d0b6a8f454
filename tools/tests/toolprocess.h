#ifndef TOOLS_TESTS_TOOLPROCESS_H
#define TOOLS_TESTS_TOOLPROCESS_H

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

#include <csignal>

// A tool under test, run as a child process whose stdout is collected line by line.
class ToolProcess
{
public:
    ToolProcess() { m_process.setProcessChannelMode(QProcess::SeparateChannels); }
    ~ToolProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    // extraEnv: NAME=value entries set after the defaults below.
    bool start(const QString &program, const QStringList &args, const QStringList &extraEnv = {})
    {
        // txsim draws its test cards through Qt's GUI module and playerd plays
        // video given a display: never on the caller's display.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("DISPLAY"));
        for (const QString &entry : extraEnv)
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        m_process.setProcessEnvironment(env);
        m_process.start(program, args);
        return m_process.waitForStarted(5000);
    }

    // Lines printed so far (stdout), without their newlines.
    QStringList lines()
    {
        collect();
        return m_lines;
    }

    // Waits for a line matching pattern that appeared at or after line index from;
    // returns its index, or -1 on time-out.
    int waitForLine(const QRegularExpression &pattern, int timeoutMs = 5000, int from = 0)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            collect();
            for (int i = from; i < m_lines.size(); ++i) {
                if (pattern.match(m_lines.at(i)).hasMatch())
                    return i;
            }
            if (clock.elapsed() > timeoutMs || m_process.state() == QProcess::NotRunning)
                return -1;
            QTest::qWait(10);
        }
    }

    int countLines(const QRegularExpression &pattern)
    {
        int n = 0;
        for (const QString &line : lines())
            n += pattern.match(line).hasMatch() ? 1 : 0;
        return n;
    }

    void signal(int sig)
    {
        // Never kill(0, ...): that would signal the whole process group.
        const qint64 pid = m_process.processId();
        if (pid > 0)
            ::kill(static_cast<pid_t>(pid), sig);
    }

    bool waitForFinished(int timeoutMs = 5000) { return m_process.waitForFinished(timeoutMs); }
    QProcess &process() { return m_process; }
    QString dump()
    {
        return lines().join(QLatin1Char('\n')) + QStringLiteral("\n[stderr]\n") +
               QString::fromUtf8(m_process.readAllStandardError());
    }

private:
    void collect()
    {
        m_buffer += m_process.readAllStandardOutput();
        int nl;
        while ((nl = m_buffer.indexOf('\n')) >= 0) {
            m_lines << QString::fromUtf8(m_buffer.left(nl));
            m_buffer.remove(0, nl + 1);
        }
    }

    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
};

inline QRegularExpression exactLine(const QString &line)
{
    return QRegularExpression(
        QRegularExpression::anchoredPattern(QRegularExpression::escape(line)));
}

#endif // TOOLS_TESTS_TOOLPROCESS_H
