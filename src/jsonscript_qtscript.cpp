#include "jsonscript.h"

#include "scriptvalue.h"

#include <QScriptEngine>
#include <QScriptValue>

// QtScript reserves 2 GiB when it starts, which counts against the address
// space and, since Linux 4.7, the data segment: that and the rest of a run,
// with a margin. JSON nested to the depth the engine is given took between
// 256 and 384 KiB of stack.
const qint64 JsonScript::requiredAddressSpaceKilobytes = 3 << 20;
const qint64 JsonScript::requiredDataKilobytes = 3 << 20;
const qint64 JsonScript::requiredStackKilobytes = 1 << 10;
const qint64 JsonScript::requiredFileSizeKilobytes = 0;

class JsonScriptPrivate
{
public:
    // Declared first so that it outlives both function values.
    QScriptEngine engine;
    QScriptValue parseFunction;
    QScriptValue serializeFunction;
};

JsonScript::JsonScript()
    : d(new JsonScriptPrivate)
{
    d->engine.evaluate(QString::fromLatin1(functions));
    d->parseFunction = d->engine.globalObject().property(QStringLiteral("parse_json"));
    d->serializeFunction = d->engine.globalObject().property(QStringLiteral("serialize_json"));
}

JsonScript::~JsonScript() = default;

// Rejected text gives the engine's error object; status_code is never found in it.
QVariantMap JsonScript::parseWithEngine(const QString &text)
{
    return d->parseFunction.call(QScriptValue(), QScriptValueList() << QScriptValue(text)).toVariant().toMap();
}

QString JsonScript::serialize(const QVariant &value)
{
    const auto setProperty = [](QScriptValue *object, const QString &name, const QScriptValue &member) {
        object->setProperty(name, member, QScriptValue::KeepExistingFlags);
    };
    const auto other = [this](const QVariant &unknown) { return d->engine.newVariant(unknown); };
    const QScriptValue converted = scriptValue<QScriptEngine, QScriptValue>(value, &d->engine, setProperty, other);
    return d->serializeFunction.call(QScriptValue(), QScriptValueList() << converted).toString();
}
