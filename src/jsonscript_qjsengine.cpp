#include "jsonscript.h"

#include "scriptvalue.h"

#include <QJSEngine>
#include <QJSValue>

#include <cmath>
#include <limits>

// A run passed under 100 MB of address space and 30 MB of data; the
// watchdog's memory bound and a 64 MiB reply, with a margin. QJSEngine takes
// more stack per level of nesting than QtScript: JSON nested to the depth the
// engine is given took between 896 and 1024 KiB. Its memory is a file: a run
// failed under a file-size limit of 8500 kB and passed under 9000 kB.
const qint64 JsonScript::requiredAddressSpaceKilobytes = 1 << 20;
const qint64 JsonScript::requiredDataKilobytes = 1 << 20;
const qint64 JsonScript::requiredStackKilobytes = 4 << 10;
const qint64 JsonScript::requiredFileSizeKilobytes = 16 << 10;

class JsonScriptPrivate
{
public:
    // Declared first so that it outlives both function values.
    QJSEngine engine;
    QJSValue parseFunction;
    QJSValue serializeFunction;
};

JsonScript::JsonScript()
    : d(new JsonScriptPrivate)
{
    d->engine.evaluate(QString::fromLatin1(functions));
    d->parseFunction = d->engine.globalObject().property(QStringLiteral("parse_json"));
    d->serializeFunction = d->engine.globalObject().property(QStringLiteral("serialize_json"));
}

JsonScript::~JsonScript() = default;

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

QVariantMap JsonScript::parseWithEngine(const QString &text)
{
    const QJSValue parsed = d->parseFunction.call(QJSValueList() << QJSValue(text));
    if (parsed.isError() || !parsed.isObject() || parsed.isArray())
        return QVariantMap();
    return asQtScriptGives(parsed.toVariant()).toMap();
}

QString JsonScript::serialize(const QVariant &value)
{
    const auto setProperty = [](QJSValue *object, const QString &name, const QJSValue &member) { object->setProperty(name, member); };
    // QtScript wraps other types in an object with nothing of JSON in it.
    const auto other = [this](const QVariant &) { return d->engine.newObject(); };
    const QJSValue converted = scriptValue<QJSEngine, QJSValue>(value, &d->engine, setProperty, other);
    return d->serializeFunction.call(QJSValueList() << converted).toString();
}
