#ifndef TESTS_NETGUARD_H
#define TESTS_NETGUARD_H

#include <QNetworkInterface>

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

#endif // TESTS_NETGUARD_H
