#include "jsonscript.h"

#include <QScriptEngine>
#include <QScriptValue>

class JsonScriptPrivate
{
public:
    // Declared first so that it outlives both function values.
    QScriptEngine engine;
    QScriptValue parseFunction;
    QScriptValue serializeFunction;
};

static const char script[] =
    "function parse_json(string) { return JSON.parse(string); }\n"
    "function serialize_json(object) { return JSON.stringify(object); }";

JsonScript::JsonScript()
    : d(new JsonScriptPrivate)
{
    d->engine.evaluate(QString::fromLatin1(script));
    d->parseFunction = d->engine.globalObject().property(QStringLiteral("parse_json"));
    d->serializeFunction = d->engine.globalObject().property(QStringLiteral("serialize_json"));
}

JsonScript::~JsonScript() = default;

JsonScript &JsonScript::instance()
{
    static JsonScript jsonScript;
    return jsonScript;
}

// Converting a parsed value recurses once per level of nesting, so a reply
// nested deeply enough would overflow the stack. Valid JSON is scanned
// exactly: brackets inside strings do not count.
static bool nestsDeeperThan(const QString &text, int limit)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const QChar c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == QLatin1Char('\\'))
                escaped = true;
            else if (c == QLatin1Char('"'))
                inString = false;
        } else if (c == QLatin1Char('"')) {
            inString = true;
        } else if (c == QLatin1Char('[') || c == QLatin1Char('{')) {
            if (++depth > limit)
                return true;
        } else if (c == QLatin1Char(']') || c == QLatin1Char('}')) {
            --depth;
        }
    }
    return false;
}

// Rejected text returns the engine's error object; its conversion is the result.
// Text nested too deeply is treated like rejected text.
QVariantMap JsonScript::parse(const QString &text)
{
    if (nestsDeeperThan(text, maximumDepth))
        return QVariantMap();
    return d->parseFunction.call(QScriptValue(), QScriptValueList() << QScriptValue(text)).toVariant().toMap();
}

QString JsonScript::serialize(const QVariant &value)
{
    const QScriptValue converted = variantToScriptValue(value, &d->engine);
    return d->serializeFunction.call(QScriptValue(), QScriptValueList() << converted).toString();
}

QScriptValue JsonScript::variantToScriptValue(const QVariant &value, QScriptEngine *engine)
{
    switch (value.type()) {
    case QVariant::Map: {
        const QVariantMap map = value.toMap();
        QScriptValue object = engine->newObject();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            object.setProperty(it.key(), variantToScriptValue(it.value(), engine), QScriptValue::KeepExistingFlags);
        return object;
    }
    case QVariant::List: {
        const QVariantList list = value.toList();
        QScriptValue array = engine->newArray(uint(list.size()));
        for (int i = 0; i < list.size(); ++i)
            array.setProperty(quint32(i), variantToScriptValue(list.at(i), engine), QScriptValue::KeepExistingFlags);
        return array;
    }
    case QVariant::Bool:
        return QScriptValue(value.toBool());
    case QVariant::Int:
        return QScriptValue(value.toInt());
    case QVariant::UInt:
        return QScriptValue(value.toUInt());
    case QVariant::Double:
        return QScriptValue(value.toDouble());
    case QVariant::String:
        return QScriptValue(value.toString());
    case QVariant::ByteArray:
        // The bytes before the first zero byte, each as its Latin-1 character.
        return QScriptValue(QLatin1String(value.toByteArray().constData()));
    default:
        if (value.isNull())
            return QScriptValue(QScriptValue::NullValue);
        return engine->newVariant(value);
    }
}
