#ifndef SCRIPTVALUE_H
#define SCRIPTVALUE_H

#include <QString>
#include <QVariant>

// A variant as a value of the script engine, the way QtScript has always
// converted it; both engines name their calls alike. setProperty sets one
// member, other converts a type that JSON does not know.
template <typename Engine, typename Value, typename SetProperty, typename Other>
Value scriptValue(const QVariant &value, Engine *engine, const SetProperty &setProperty, const Other &other)
{
    switch (value.userType()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        Value object = engine->newObject();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            setProperty(&object, it.key(), scriptValue<Engine, Value>(it.value(), engine, setProperty, other));
        return object;
    }
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        Value array = engine->newArray(uint(list.size()));
        for (int i = 0; i < list.size(); ++i)
            setProperty(&array, QString::number(i), scriptValue<Engine, Value>(list.at(i), engine, setProperty, other));
        return array;
    }
    case QMetaType::Bool:
        return Value(value.toBool());
    case QMetaType::Int:
        return Value(value.toInt());
    case QMetaType::UInt:
        return Value(value.toUInt());
    case QMetaType::Double:
        return Value(value.toDouble());
    case QMetaType::QString:
        return Value(value.toString());
    case QMetaType::QByteArray:
        // The bytes before the first zero byte, each as its Latin-1 character.
        return Value(QString(QLatin1String(value.toByteArray().constData())));
    default:
        if (value.isNull())
            return Value(Value::NullValue);
        return other(value);
    }
}

#endif // SCRIPTVALUE_H
