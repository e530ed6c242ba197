#include "platform/HeadlessViews.h"

namespace korvan {

void AnsweringDialogs::Warning(const std::string& text) {
    out_.Write("<4>", "Warning (answered OK): " + text);
}

bool AnsweringDialogs::Confirm(const std::string& text) {
    out_.Write("<5>", "Question (answered No): " + text);
    return false;
}

bool AnsweringDialogs::InputQuery(const std::string& caption, const std::string& prompt,
                                  std::string&) {
    out_.Write("<5>", "Input (answered Cancel): " + caption + ": " + prompt);
    return false;
}

void AnsweringDialogs::Message(const std::string& text) {
    out_.Write("<3>", text);
}

}  // namespace korvan
