#include "app/windows/HttpSupport.h"

#include "core/Language.h"

#include <QNetworkReply>
#include <QRegularExpression>

namespace tallowin {

QNetworkRequest makeServiceRequest(const QUrl& url, int timeoutMilliseconds)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(timeoutMilliseconds);
    return request;
}

std::optional<QUrl> validWebUrl(const QString& text)
{
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        return std::nullopt;
    return url;
}

std::optional<int> httpStatus(const QNetworkReply& reply)
{
    QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return std::nullopt;
    return status.toInt();
}

QString transportErrorDescription(const QNetworkReply& reply)
{
    auto text = [](const char* english, const char* chinese) {
        return QString::fromStdString(localized(english, chinese));
    };
    switch (reply.error()) {
    case QNetworkReply::ConnectionRefusedError:
        return text("Could not connect to the server.", "未能连接到服务器。");
    case QNetworkReply::HostNotFoundError:
        return text("A server with the specified hostname could not be found.", "未能找到使用指定主机名的服务器。");
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return text("The request timed out.", "请求超时。");
    case QNetworkReply::RemoteHostClosedError:
        return text("The network connection was lost.", "网络连接已中断。");
    case QNetworkReply::SslHandshakeFailedError:
        return text("A secure connection to the server could not be made.", "无法与服务器建立安全连接。");
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        return text("The server redirected too often or to an insecure address.", "服务器重定向次数过多或重定向到了不安全的地址。");
    case QNetworkReply::ProtocolUnknownError:
        return text("The URL is not supported.", "不支持该网址。");
    default:
        // Qt's own text is English only; the Chinese side keeps it after a translated lead.
        return isEnglish() ? reply.errorString() : QStringLiteral("网络错误：") + reply.errorString();
    }
}

namespace {

// Only the last component of whatever the server or the URL suggests, so that a name like
// "../../.bashrc" cannot leave the Downloads folder.
QString baseNameOnly(QString name)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    name = name.section(QLatin1Char('/'), -1).trimmed();
    name.remove(QChar(0));
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return {};
    return name;
}

QString fromContentDisposition(const QByteArray& header)
{
    const QString text = QString::fromUtf8(header);
    // RFC 6266: filename* (RFC 5987, charset'language'percent-encoded) wins over filename.
    static const QRegularExpression extended(QStringLiteral(R"(filename\*\s*=\s*([^']*)'[^']*'([^;\s]+))"),
        QRegularExpression::CaseInsensitiveOption);
    if (auto match = extended.match(text); match.hasMatch()) {
        QByteArray decoded = QByteArray::fromPercentEncoding(match.captured(2).toLatin1());
        QString charset = match.captured(1).trimmed().toLower();
        QString name = charset == QLatin1String("iso-8859-1") ? QString::fromLatin1(decoded) : QString::fromUtf8(decoded);
        if (name = baseNameOnly(name); !name.isEmpty())
            return name;
    }
    static const QRegularExpression quoted(QStringLiteral(R"re(filename\s*=\s*"((?:[^"\\]|\\.)*)")re"),
        QRegularExpression::CaseInsensitiveOption);
    if (auto match = quoted.match(text); match.hasMatch()) {
        QString name = match.captured(1);
        name.replace(QRegularExpression(QStringLiteral(R"(\\(.))")), QStringLiteral("\\1"));
        if (name = baseNameOnly(name); !name.isEmpty())
            return name;
    }
    static const QRegularExpression token(QStringLiteral(R"(filename\s*=\s*([^;\s"]+))"),
        QRegularExpression::CaseInsensitiveOption);
    if (auto match = token.match(text); match.hasMatch())
        return baseNameOnly(match.captured(1));
    return {};
}

}

QString suggestedFileName(const QByteArray& contentDisposition, const QUrl& url)
{
    if (QString name = fromContentDisposition(contentDisposition); !name.isEmpty())
        return name;
    if (QString name = baseNameOnly(url.fileName(QUrl::FullyDecoded)); !name.isEmpty())
        return name;
    return QStringLiteral("download");
}

}
