#include "net/http_helpers.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QStringList>
#include <QUrl>

#include <cstdlib>

namespace {

constexpr qsizetype kLongestLibraryMessage = 256;
constexpr qint64 kBoundarySpread = 200;

// The environment variable's value, or empty.
QString Environment(const char* name) {
    return qEnvironmentVariable(name);
}

// True when a "no_proxy" list names the host: "*", the host itself, or a domain the host
// lies in (".example.org" or "example.org").
bool BypassesProxy(const QString& noProxy, const QString& host) {
    const QString name = host.toLower();
    const QStringList entries = noProxy.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (QString entry : entries) {
        entry = entry.trimmed().toLower();
        if (entry.isEmpty()) {
            continue;
        }
        if (entry == QLatin1String("*")) {
            return true;
        }
        if (entry.startsWith(QLatin1Char('.'))) {
            entry.remove(0, 1);
        }
        if (name == entry || name.endsWith(QLatin1Char('.') + entry)) {
            return true;
        }
    }
    return false;
}

}  // namespace

QString ProxyFromList(const QString& list, const QString& scheme) {
    QString text = list;
    const QString named = scheme + QLatin1Char('=');
    const qsizetype at = text.indexOf(named);
    if (at >= 0) {
        text = text.mid(at + named.size());
    } else if (text.contains(QLatin1Char('='))) {
        // The list names proxies by scheme, but none for this one.
        return {};
    }
    const qsizetype semicolon = text.indexOf(QLatin1Char(';'));
    if (semicolon >= 0) {
        text.truncate(semicolon);
    }
    const qsizetype blank = text.indexOf(QLatin1Char(' '));
    if (blank >= 0) {
        text.truncate(blank);
    }
    return text.contains(QLatin1Char(':')) ? text : QString();
}

std::optional<TProxySetting> ProxyFromEnvironment(const QString& scheme, const QString& host) {
    if (IsLoopbackHost(host)) {
        return std::nullopt;
    }
    QString noProxy = Environment("no_proxy");
    if (noProxy.isEmpty()) {
        noProxy = Environment("NO_PROXY");
    }
    if (BypassesProxy(noProxy, host)) {
        return std::nullopt;
    }
    QString value;
    if (scheme == QLatin1String("https")) {
        value = Environment("https_proxy");
        if (value.isEmpty()) {
            value = Environment("HTTPS_PROXY");
        }
    } else {
        // Only the lower-case name: a CGI program gets HTTP_PROXY from a request header.
        value = Environment("http_proxy");
    }
    value = value.trimmed();
    if (value.isEmpty()) {
        return std::nullopt;
    }
    TProxySetting setting;
    if (value.contains(QLatin1String("://"))) {
        // An address: its host and port make the entry, its user information the login.
        const QUrl url(value);
        if (!url.isValid() || url.host().isEmpty()) {
            return std::nullopt;
        }
        setting.user = url.userName();
        setting.password = url.password();
        const QString hostText = url.host().contains(QLatin1Char(':'))
                                     ? QLatin1Char('[') + url.host() + QLatin1Char(']')
                                     : url.host();
        value =
            url.port() > 0 ? hostText + QLatin1Char(':') + QString::number(url.port()) : hostText;
    }
    const QString entry = ProxyFromList(value, scheme);
    if (entry.isEmpty()) {
        return std::nullopt;
    }
    const QUrl parsed(QStringLiteral("proxy://") + entry);
    if (!parsed.isValid() || parsed.host().isEmpty() || parsed.port() <= 0) {
        return std::nullopt;
    }
    setting.host = parsed.host();
    setting.port = static_cast<quint16>(parsed.port());
    return setting;
}

bool IsLoopbackHost(const QString& host) {
    QString name = host.toLower();
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']'))) {
        name = name.mid(1, name.size() - 2);
    }
    if (name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost"))) {
        return true;
    }
    const QHostAddress address(name);
    return !address.isNull() && address.isLoopback();
}

bool HasNetworkConnection() {
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& face : interfaces) {
        const auto flags = face.flags();
        if (flags.testFlag(QNetworkInterface::IsUp) &&
            flags.testFlag(QNetworkInterface::IsRunning) &&
            !flags.testFlag(QNetworkInterface::IsLoopBack) && !face.addressEntries().isEmpty()) {
            return true;
        }
    }
    return false;
}

QByteArray MakeBoundary(quint32 tick) {
    const qint32 t = static_cast<qint32>(tick);
    const quint32 second =
        tick + static_cast<quint32>(std::llabs(static_cast<qint64>(t)) % kBoundarySpread);
    return "---" + QByteArray::number(tick, 16).rightJustified(8, '0') + '-' +
           QByteArray::number(second, 16).rightJustified(8, '0');
}

QByteArray MultipartBody(const QByteArray& boundary, const QByteArray& fieldName,
                         const QByteArray& fileName, const QByteArray& data) {
    const QByteArray line = "--" + boundary;
    QByteArray body;
    body.reserve(data.size() + 256);
    body += line + "\r\n";
    body += "Content-Disposition:form-data;name=\"" + fieldName + "\";filename=\"" + fileName +
            "\"\r\n";
    body += "Content-Type:application/octet-stream\r\n\r\n";
    body += data;
    body += "\r\n" + line + "--\r\n";
    return body;
}

QString CleanLibraryMessage(const QString& message) {
    QString clean;
    clean.reserve(message.size());
    for (const QChar c : message) {
        if (c.unicode() >= 32) {
            clean.append(c);
        }
    }
    clean.truncate(kLongestLibraryMessage);
    return clean;
}

std::optional<TServerAddress> ParseServerAddress(const QString& text) {
    QString value = text.trimmed();
    if (value.isEmpty()) {
        return std::nullopt;
    }
    TServerAddress address;
    if (!value.contains(QLatin1String("://"))) {
        value.prepend(QStringLiteral("https://"));
    }
    const QUrl url(value, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.hasQuery() ||
        url.hasFragment() || (!url.path().isEmpty() && url.path() != QLatin1String("/"))) {
        return std::nullopt;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http")) {
        address.https = false;
    } else if (scheme != QLatin1String("https")) {
        return std::nullopt;
    }
    address.host = url.host();
    address.port = url.port() > 0 ? static_cast<quint16>(url.port()) : 0;
    return address;
}
