#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkReply;

namespace tallowin {

// The few things both windows need from QtNetwork, kept apart so that they are tested alone.

// A request as the shared client makes it: redirects followed (never to a less safe scheme),
// no cache, and given up after `timeoutMilliseconds` without progress.
QNetworkRequest makeServiceRequest(const QUrl&, int timeoutMilliseconds);

// An http or https URL with a host, or nothing. Everything the windows fetch must be one.
std::optional<QUrl> validWebUrl(const QString&);

// The HTTP status of a finished reply; nothing when no HTTP answer arrived (refused, time-out,
// not HTTP at all).
std::optional<int> httpStatus(const QNetworkReply&);

// Why a request without an HTTP answer failed, in the language of the moment.
QString transportErrorDescription(const QNetworkReply&);

// The file name a download is saved under: the name that Content-Disposition suggests
// (filename* before filename), else the last path component of the URL, else "download".
// Never a path: folders, "." and ".." are stripped so the file stays in the chosen folder.
QString suggestedFileName(const QByteArray& contentDisposition, const QUrl&);

}
