#include "VisibleLineEnds.h"

std::string visibleLineEnds(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else {
            shown += c;
        }
    }
    return shown;
}
