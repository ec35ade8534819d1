#ifndef JSONSCRIPT_H
#define JSONSCRIPT_H

#include <QScopedPointer>
#include <QString>
#include <QVariant>

class JsonScriptPrivate;

// JSON through the script engine's JSON.parse and JSON.stringify; one per
// process. QtScript on Qt 5, QJSEngine on Qt 6, with the same answers.
class JsonScript
{
public:
    static JsonScript &instance();

    QVariantMap parse(const QString &text);
    QString serialize(const QVariant &value);

    // Deeper text is not converted: its conversion would exhaust the stack.
    static const int maximumDepth = 1000;

private:
    JsonScript();
    ~JsonScript();
    Q_DISABLE_COPY(JsonScript)

    QScopedPointer<JsonScriptPrivate> d;
};

#endif // JSONSCRIPT_H
