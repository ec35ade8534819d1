#ifndef JSONSCRIPT_H
#define JSONSCRIPT_H

#include <QScopedPointer>
#include <QString>
#include <QVariant>

class JsonScriptPrivate;

// JSON through the script engine's JSON.parse and JSON.stringify; one per
// process. QtScript on Qt 5, QJSEngine on Qt 6, each in a source file of its
// own, with the same answers.
class JsonScript
{
public:
    static JsonScript &instance();

    // Rejected text gives an empty map; so does text nested too deeply.
    QVariantMap parse(const QString &text);
    QString serialize(const QVariant &value);

    // Deeper text is not converted: its conversion would exhaust the stack.
    static const int maximumDepth = 1000;

    // What the engine needs of the process's limits, in kB; 0 for none.
    static const qint64 requiredAddressSpaceKilobytes;
    static const qint64 requiredDataKilobytes;
    static const qint64 requiredStackKilobytes;
    static const qint64 requiredFileSizeKilobytes;

private:
    JsonScript();
    ~JsonScript();
    Q_DISABLE_COPY(JsonScript)

    static bool nestsDeeperThan(const QString &text, int limit);
    // parse_json and serialize_json, defined in the engine.
    static const char functions[];
    QVariantMap parseWithEngine(const QString &text);

    QScopedPointer<JsonScriptPrivate> d;
};

#endif // JSONSCRIPT_H
