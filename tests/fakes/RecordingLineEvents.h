#pragma once

#include <functional>
#include <string>
#include <vector>

#include "monitoring/LineOutput.h"

namespace korvan {

// Records what an output tells, in order; `onAnswer` runs on every answer.
class RecordingLineEvents : public ILineOutputEvents {
public:
    void LineDrained(ILineOutput&) override { told.push_back('D'); }
    void LineAnswered(ILineOutput&, const Bytes& answer) override {
        told.push_back('A');
        answers.push_back(answer);
        if (onAnswer)
            onAnswer();
    }
    void OutputReady(ILineOutput&) override { told.push_back('R'); }
    void OutputClosed(ILineOutput&) override { told.push_back('C'); }

    std::vector<Bytes> answers;
    std::string told;  // D drained, A answered, R ready, C closed
    std::function<void()> onAnswer;
};

}  // namespace korvan
