#include "multipart.h"

#include <QRegularExpression>

QByteArray multipartBoundary(const QByteArray &contentType) {
    static const QRegularExpression pattern(
        QStringLiteral("^multipart/form-data;\\s*boundary=\"?([^\";]+)\"?"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(contentType));
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray();
}

QList<FormPart> parseMultipart(const QByteArray &body, const QByteArray &boundary, bool *ok) {
    *ok = false;
    QList<FormPart> parts;
    const QByteArray delimiter = "--" + boundary;
    if (boundary.isEmpty() || !body.startsWith(delimiter))
        return parts;
    int pos = delimiter.size();
    for (;;) {
        if (body.mid(pos, 2) == "--") {
            *ok = body.mid(pos + 2) == "\r\n" || pos + 2 == body.size();
            return parts;
        }
        if (body.mid(pos, 2) != "\r\n")
            return parts;
        pos += 2;
        const int headEnd = body.indexOf("\r\n\r\n", pos);
        if (headEnd < 0)
            return parts;
        FormPart part;
        const QList<QByteArray> lines = body.mid(pos, headEnd - pos).split('\n');
        for (const QByteArray &line : lines) {
            const int colon = line.indexOf(':');
            if (colon <= 0)
                return parts;
            part.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        const int bodyStart = headEnd + 4;
        const int next = body.indexOf("\r\n" + delimiter, bodyStart);
        if (next < 0)
            return parts;
        part.body = body.mid(bodyStart, next - bodyStart);
        parts.append(part);
        pos = next + 2 + delimiter.size();
    }
}
