// The pieces of an HTTP request that the client builds by rule and that are checked on
// their own: the proxy taken from a proxy list or the environment, the multipart body, the
// server address of a build, the failure text of the internet library, and whether the
// machine has a network at all.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The proxy for one scheme ("http" or "https") out of a proxy list as the platform gives
// it: when the list names the scheme ("http=proxy:8080;https=other:8443"), the entry after
// "scheme="; otherwise the list itself when it names no scheme at all. The text is cut at
// the first ";" and the first blank. Empty (no proxy) when what is left has no ":", or when
// the list names proxies by scheme but not for this one. Any thread.
QString ProxyFromList(const QString& list, const QString& scheme);

// A proxy taken from the environment: host, port and the user name and password the
// proxy address names (empty when none).
struct TProxySetting {
    QString host;
    quint16 port = 0;
    QString user;
    QString password;
};

// The proxy of the environment for a request to `host` by `scheme`: "http_proxy" for http,
// "https_proxy" (or "HTTPS_PROXY") for https, given as a proxy list or an address
// ("http://user:pw@proxy:8080/"). None for a loopback host, a host that "no_proxy" (or
// "NO_PROXY") names (an exact name, a domain suffix, or "*"), or when the setting yields no
// "host:port". Any thread.
std::optional<TProxySetting> ProxyFromEnvironment(const QString& scheme, const QString& host);

// True for "localhost" (in any case, also as a ".localhost" name) and loopback addresses
// (127.0.0.0/8, ::1). Any thread.
bool IsLoopbackHost(const QString& host);

// True when the machine has a network to reach other machines by: some interface other
// than the loopback one is up, running and has an address. Any thread.
bool HasNetworkConnection();

// The multipart boundary for a tick count t (milliseconds):
// "---" + t as 8 lower-case hex digits + "-" + (t + |t| mod 200) as 8 hex digits, t taken as
// a signed 32-bit value as the platform's tick counter is.
QByteArray MakeBoundary(quint32 tick);

// The multipart body of one file, byte for byte: "--boundary" CR LF,
// `Content-Disposition:form-data;name="field";filename="file"` CR LF,
// "Content-Type:application/octet-stream" CR LF CR LF, the data, CR LF, "--boundary--" CR LF.
QByteArray MultipartBody(const QByteArray& boundary, const QByteArray& fieldName,
                         const QByteArray& fileName, const QByteArray& data);

// The internet library's message as the status panel shows it: every character below 32
// removed, then at most 256 characters.
QString CleanLibraryMessage(const QString& message);

// The address of a server: the scheme (HTTPS unless "http://" is given), the host and the
// port (0: the scheme's default).
struct TServerAddress {
    bool https = true;
    QString host;
    quint16 port = 0;
};

// Reads "host", "host:port", "[v6]:port" or "http[s]://host[:port][/]". None for an empty
// text or one that names anything more (a path, a query, user information, another scheme)
// or no host.
std::optional<TServerAddress> ParseServerAddress(const QString& text);
