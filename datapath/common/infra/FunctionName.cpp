#include "FunctionName.h"

#include <cctype>
#include <string_view>

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
    // clang binds a pointer or reference return type to the name: "const char *A::c()".
    while (start < scanEnd && (name[start] == '*' || name[start] == '&')) ++start;
    return stripTemplateArguments(name.substr(start, scanEnd - start)) + name.substr(scanEnd);
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
}

// clang spells a lambda's call operator "auto A::f(int)::(anonymous class)::operator()(int) const" where g++ writes
// "A::f(int)::<lambda(int)>", and an unnamed namespace "(anonymous namespace)" where g++ writes "{anonymous}".
// Rewritten to g++'s spelling, both compilers' names give the same log columns.
std::string toGccSpelling(std::string pretty) {
    replaceAll(pretty, "(anonymous namespace)", "{anonymous}");
    // Not a static string: threads log after main has returned, once static destructors have run.
    constexpr std::string_view kLambda = "(anonymous class)::operator()(";
    size_t at = pretty.find(kLambda);
    if (at == std::string::npos) return pretty;
    std::string out;
    size_t pos = 0;
    for (; at != std::string::npos; at = pretty.find(kLambda, pos)) {
        out.append(pretty, pos, at - pos);
        const size_t open = at + kLambda.size() - 1;
        size_t close = open;
        for (int depth = 0; close < pretty.size(); ++close) {
            if (pretty[close] == '(') ++depth;
            if (pretty[close] == ')' && --depth == 0) break;
        }
        if (close == pretty.size()) return out + pretty.substr(at);
        out += "<lambda" + pretty.substr(open, close - open + 1) + ">";
        pos = close + 1;
        // What follows the outermost lambda is only the call operator's qualifiers and template arguments.
        if (pretty.compare(pos, 2, "::") != 0) return out;
    }
    return out + pretty.substr(pos);
}

}  // namespace

std::string plainFunctionName(const char* prettyFunction) {
    std::string pretty = toGccSpelling(prettyFunction ? prettyFunction : "");
    // Template arguments: g++ appends " [with T = int]", clang " [T = int]".
    const size_t with = pretty.find(" [with ");
    if (with != std::string::npos) {
        pretty.resize(with);
    } else if (!pretty.empty() && pretty.back() == ']') {
        const size_t open = pretty.rfind(" [");
        if (open != std::string::npos && pretty.find(" = ", open) != std::string::npos) pretty.resize(open);
    }

    const size_t lambda = pretty.find("::<lambda");
    if (lambda == std::string::npos) {
        // A lambda outside any function; clang puts its return type before it.
        const size_t outer = pretty.find("<lambda");
        if (outer == 0 || (outer != std::string::npos && pretty[outer - 1] == ' ')) return "<lambda_1>::operator ()";
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
