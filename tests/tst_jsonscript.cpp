#include "jsonscript.h"

#include <QtTest>

class TestJsonScript : public QObject
{
    Q_OBJECT

private slots:
    void singleInstance();
    void parseObject();
    void parseNested();
    void parseNestingLimit();
    void parseNonObjects_data();
    void parseNonObjects();
    void serialize_data();
    void serialize();
    void wrappedTypesStayWrapped_data();
    void wrappedTypesStayWrapped();
};

void TestJsonScript::singleInstance()
{
    QCOMPARE(&JsonScript::instance(), &JsonScript::instance());
}

void TestJsonScript::parseObject()
{
    const QVariantMap map = JsonScript::instance().parse(QStringLiteral("{\"status_code\": 200}"));
    QCOMPARE(map.keys(), QStringList() << QStringLiteral("status_code"));
    QCOMPARE(map.value(QStringLiteral("status_code")).toInt(), 200);

    const QVariantMap text = JsonScript::instance().parse(QStringLiteral("{\"status_code\":\"404\",\"n\":\"caf\u00e9\"}"));
    QCOMPARE(text.value(QStringLiteral("status_code")).toInt(), 404);
    QCOMPARE(text.value(QStringLiteral("n")).toString(), QStringLiteral("caf\u00e9"));
}

void TestJsonScript::parseNested()
{
    const QVariantMap map = JsonScript::instance().parse(
        QStringLiteral("{\"object\": {\"a\": true, \"b\": null}, \"array\": [1, \"two\", [3]]}"));
    QCOMPARE(map.size(), 2);
    QCOMPARE(map.value(QStringLiteral("object")).userType(), int(QMetaType::QVariantMap));
    QCOMPARE(map.value(QStringLiteral("array")).userType(), int(QMetaType::QVariantList));
    const QVariantMap object = map.value(QStringLiteral("object")).toMap();
    QCOMPARE(object.value(QStringLiteral("a")), QVariant(true));
    QVERIFY(object.contains(QStringLiteral("b")));
    QVERIFY(!object.value(QStringLiteral("b")).isValid());
    const QVariantList array = map.value(QStringLiteral("array")).toList();
    QCOMPARE(array.size(), 3);
    QCOMPARE(array.at(1).toString(), QStringLiteral("two"));
    QCOMPARE(array.at(2).userType(), int(QMetaType::QVariantList));
}

void TestJsonScript::parseNestingLimit()
{
    const int depth = JsonScript::maximumDepth;
    const QString nested = QStringLiteral("{\"status_code\":3,\"a\":") + QStringLiteral("[").repeated(depth - 1)
                           + QStringLiteral("]").repeated(depth - 1) + QLatin1Char('}');
    QCOMPARE(JsonScript::instance().parse(nested).value(QStringLiteral("status_code")).toInt(), 3);
    // Brackets inside strings, escaped quotes among them, are not nesting.
    const QString quoted = QStringLiteral("{\"status_code\":4,\"a\":\"\\\"") + QStringLiteral("[").repeated(depth * 2)
                           + QStringLiteral("\"}");
    QCOMPARE(JsonScript::instance().parse(quoted).value(QStringLiteral("status_code")).toInt(), 4);
}

void TestJsonScript::parseNonObjects_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("array") << QStringLiteral("[{\"status_code\": 1}]");
    QTest::newRow("string") << QStringLiteral("\"x\"");
    QTest::newRow("number") << QStringLiteral("201");
    QTest::newRow("true") << QStringLiteral("true");
    QTest::newRow("false") << QStringLiteral("false");
    QTest::newRow("null") << QStringLiteral("null");
    QTest::newRow("malformed") << QStringLiteral("{\"status_code\": ");
    QTest::newRow("empty") << QString();
    QTest::newRow("deep unterminated nesting") << QString(QStringLiteral("[").repeated(20000));
    QTest::newRow("deep nesting") << QStringLiteral("{\"status_code\":1,\"a\":") + QStringLiteral("[").repeated(200000)
                                         + QStringLiteral("]").repeated(200000) + QLatin1Char('}');
}

// Rejected text must come back normally; status_code is then never found.
void TestJsonScript::parseNonObjects()
{
    QFETCH(QString, text);
    const QVariantMap map = JsonScript::instance().parse(text);
    QVERIFY(!map.contains(QStringLiteral("status_code")));
    QCOMPARE(map.value(QStringLiteral("status_code")).toInt(), 0);
}

void TestJsonScript::serialize_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("json");

    QVariantMap keys;
    keys.insert(QStringLiteral("b"), 1);
    keys.insert(QStringLiteral("a"), QVariantList() << true << 2.5 << QStringLiteral("s"));
    QVariantMap nested;
    nested.insert(QStringLiteral("inner"), keys);

    QTest::newRow("invalid") << QVariant() << QStringLiteral("null");
    QTest::newRow("null string") << QVariant(QString()) << QStringLiteral("\"\"");
    QTest::newRow("default int") << QVariant(int()) << QStringLiteral("0");
    QTest::newRow("empty map") << QVariant(QVariantMap()) << QStringLiteral("{}");
    QTest::newRow("empty list") << QVariant(QVariantList()) << QStringLiteral("[]");
    QTest::newRow("key order") << QVariant(keys) << QStringLiteral("{\"a\":[true,2.5,\"s\"],\"b\":1}");
    QTest::newRow("nested") << QVariant(nested) << QStringLiteral("{\"inner\":{\"a\":[true,2.5,\"s\"],\"b\":1}}");
    QTest::newRow("unsigned") << QVariant(4000000000u) << QStringLiteral("4000000000");
    QTest::newRow("bytes end at zero") << QVariant(QByteArray("A\0B", 3)) << QStringLiteral("\"A\"");
    QTest::newRow("byte 233 is Latin-1") << QVariant(QByteArray("\xe9")) << QStringLiteral("\"\u00e9\"");
}

void TestJsonScript::serialize()
{
    QFETCH(QVariant, value);
    QFETCH(QString, json);
    QCOMPARE(JsonScript::instance().serialize(value), json);
}

void TestJsonScript::wrappedTypesStayWrapped_data()
{
    QTest::addColumn<QVariant>("value");
    QVariantHash hash;
    hash.insert(QStringLiteral("k"), 1);
    QTest::newRow("qint64") << QVariant(qint64(5));
    QTest::newRow("string list") << QVariant(QStringList() << QStringLiteral("a"));
    QTest::newRow("hash") << QVariant(hash);
}

// Wrapped variants are the engine's objects, not numbers, arrays or objects of JSON.
void TestJsonScript::wrappedTypesStayWrapped()
{
    QFETCH(QVariant, value);
    const QString json = JsonScript::instance().serialize(value);
    QVERIFY2(json != QLatin1String("5") && !json.startsWith(QLatin1Char('[')) && json != QLatin1String("{\"k\":1}"),
             qPrintable(json));
}

QTEST_GUILESS_MAIN(TestJsonScript)
#include "tst_jsonscript.moc"
