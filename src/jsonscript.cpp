#include "jsonscript.h"

#include <cmath>
#include <limits>

#if QT_VERSION_MAJOR < 6
#include <QScriptEngine>
#include <QScriptValue>
using ScriptEngine = QScriptEngine;
using ScriptValue = QScriptValue;
#else
#include <QJSEngine>
#include <QJSValue>
using ScriptEngine = QJSEngine;
using ScriptValue = QJSValue;
#endif

class JsonScriptPrivate
{
public:
    // Declared first so that it outlives both function values.
    ScriptEngine engine;
    ScriptValue parseFunction;
    ScriptValue serializeFunction;
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

#if QT_VERSION_MAJOR >= 6
// QtScript's conversions: null is an invalid variant and an integral number
// that fits an int is an int. QJSEngine gives a null pointer for null and
// doubles for some ints (999999999 up to 2^31 - 1).
static QVariant asQtScriptGives(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Nullptr:
        return QVariant();
    case QMetaType::Double: {
        const double number = value.toDouble();
        const bool fitsInt = std::trunc(number) == number && number >= std::numeric_limits<int>::min()
                             && number <= std::numeric_limits<int>::max() && !(number == 0 && std::signbit(number));
        return fitsInt ? QVariant(int(number)) : value;
    }
    case QMetaType::QVariantMap: {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            *it = asQtScriptGives(*it);
        return map;
    }
    case QMetaType::QVariantList: {
        QVariantList list = value.toList();
        for (QVariant &item : list)
            item = asQtScriptGives(item);
        return list;
    }
    default:
        return value;
    }
}
#endif

// Rejected text gives the engine's error object; status_code is never found in it.
// Text nested too deeply is treated like rejected text.
QVariantMap JsonScript::parse(const QString &text)
{
    if (nestsDeeperThan(text, maximumDepth))
        return QVariantMap();
#if QT_VERSION_MAJOR < 6
    return d->parseFunction.call(QScriptValue(), QScriptValueList() << QScriptValue(text)).toVariant().toMap();
#else
    const QJSValue parsed = d->parseFunction.call(QJSValueList() << QJSValue(text));
    if (parsed.isError() || !parsed.isObject() || parsed.isArray())
        return QVariantMap();
    return asQtScriptGives(parsed.toVariant()).toMap();
#endif
}

static ScriptValue variantToScriptValue(const QVariant &value, ScriptEngine *engine)
{
    switch (value.userType()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        ScriptValue object = engine->newObject();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
#if QT_VERSION_MAJOR < 6
            object.setProperty(it.key(), variantToScriptValue(it.value(), engine), QScriptValue::KeepExistingFlags);
#else
            object.setProperty(it.key(), variantToScriptValue(it.value(), engine));
#endif
        return object;
    }
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        ScriptValue array = engine->newArray(uint(list.size()));
        for (int i = 0; i < list.size(); ++i)
#if QT_VERSION_MAJOR < 6
            array.setProperty(quint32(i), variantToScriptValue(list.at(i), engine), QScriptValue::KeepExistingFlags);
#else
            array.setProperty(quint32(i), variantToScriptValue(list.at(i), engine));
#endif
        return array;
    }
    case QMetaType::Bool:
        return ScriptValue(value.toBool());
    case QMetaType::Int:
        return ScriptValue(value.toInt());
    case QMetaType::UInt:
        return ScriptValue(value.toUInt());
    case QMetaType::Double:
        return ScriptValue(value.toDouble());
    case QMetaType::QString:
        return ScriptValue(value.toString());
    case QMetaType::QByteArray:
        // The bytes before the first zero byte, each as its Latin-1 character.
        return ScriptValue(QString(QLatin1String(value.toByteArray().constData())));
    default:
        if (value.isNull())
            return ScriptValue(ScriptValue::NullValue);
#if QT_VERSION_MAJOR < 6
        return engine->newVariant(value);
#else
        // QtScript wraps other types in an object with nothing of JSON in it.
        return engine->newObject();
#endif
    }
}

QString JsonScript::serialize(const QVariant &value)
{
    const ScriptValue converted = variantToScriptValue(value, &d->engine);
#if QT_VERSION_MAJOR < 6
    return d->serializeFunction.call(QScriptValue(), QScriptValueList() << converted).toString();
#else
    return d->serializeFunction.call(QJSValueList() << converted).toString();
#endif
}
