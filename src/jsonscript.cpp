#include "jsonscript.h"

const char JsonScript::functions[] =
    "function parse_json(string) { return JSON.parse(string); }\n"
    "function serialize_json(object) { return JSON.stringify(object); }";

JsonScript &JsonScript::instance()
{
    static JsonScript jsonScript;
    return jsonScript;
}

QVariantMap JsonScript::parse(const QString &text)
{
    if (nestsDeeperThan(text, maximumDepth))
        return QVariantMap();
    return parseWithEngine(text);
}

// Converting a parsed value recurses once per level of nesting, so a reply
// nested deeply enough would overflow the stack. Valid JSON is scanned
// exactly: brackets inside strings do not count.
bool JsonScript::nestsDeeperThan(const QString &text, int limit)
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
