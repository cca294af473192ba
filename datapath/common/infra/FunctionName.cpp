#include "FunctionName.h"

#include <cctype>

namespace {

bool isIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '~'; }

// Position of the keyword "operator" that names the function, or npos.
size_t findOperatorKeyword(const std::string& name) {
    for (size_t pos = name.rfind("operator"); pos != std::string::npos;
         pos = pos == 0 ? std::string::npos : name.rfind("operator", pos - 1)) {
        const bool startsWord = pos == 0 || !isIdentChar(name[pos - 1]);
        const size_t after = pos + 8;
        const bool endsWord = after >= name.size() || !isIdentChar(name[after]);
        if (startsWord && endsWord) return pos;
    }
    return std::string::npos;
}

std::string stripTemplateArguments(const std::string& text) {
    std::string out;
    int depth = 0;
    for (char c : text) {
        if (c == '<') {
            ++depth;
        } else if (c == '>' && depth > 0) {
            --depth;
        } else if (depth == 0) {
            out += c;
        }
    }
    return out;
}

// "const char* A::B::c(int) const" -> "A::B::c"; "A::A()" -> "A::A"; "bool A::operator==(const A&)" -> "A::operator==".
std::string plainName(const std::string& pretty) {
    const size_t close = pretty.rfind(')');
    if (close == std::string::npos) return pretty;
    int depth = 0;
    size_t open = std::string::npos;
    for (size_t i = close + 1; i-- > 0;) {
        if (pretty[i] == ')') {
            ++depth;
        } else if (pretty[i] == '(' && --depth == 0) {
            open = i;
            break;
        }
    }
    if (open == std::string::npos) return pretty;
    const std::string name = pretty.substr(0, open);

    const size_t op = findOperatorKeyword(name);
    const size_t scanEnd = op == std::string::npos ? name.size() : op;
    size_t start = scanEnd;
    depth = 0;
    while (start > 0) {
        const char c = name[start - 1];
        if (c == '>' || c == ')') {
            ++depth;
        } else if (c == '<' || c == '(') {
            --depth;
        } else if (c == ' ' && depth == 0) {
            break;
        }
        --start;
    }
    return stripTemplateArguments(name.substr(start, scanEnd - start)) + name.substr(scanEnd);
}

}  // namespace

std::string plainFunctionName(const char* prettyFunction) {
    std::string pretty = prettyFunction ? prettyFunction : "";
    const size_t with = pretty.find(" [with ");
    if (with != std::string::npos) pretty.resize(with);

    const size_t lambda = pretty.find("::<lambda");
    if (lambda == std::string::npos) {
        if (pretty.compare(0, 7, "<lambda") == 0) return "<lambda_1>::operator ()";
        return plainName(pretty);
    }
    std::string result = plainName(pretty.substr(0, lambda));
    for (size_t pos = lambda; pos != std::string::npos; pos = pretty.find("::<lambda", pos + 1)) {
        result += "::<lambda_1>";
    }
    return result + "::operator ()";
}

std::string normaliseFunctionName(const std::string& functionName) {
    std::string name = functionName;
    std::string work;
    const size_t p = name.find("<lambda");
    if (p != std::string::npos) {
        name = name.substr(0, p) + "<lambda>";
        work = p >= 2 ? name.substr(0, p - 2) : std::string();  // drops the "::" before the lambda
    } else {
        work = name;
    }
    const size_t q = work.rfind(':');
    if (!work.empty() && q != std::string::npos) {
        return work.substr(0, q > 0 ? q - 1 : 0) + "," + name.substr(q + 1);
    }
    return "," + name;
}
