#pragma once

#include "platform/Types.h"

namespace korvan {

class ILineOutput;

// What an output to the monitoring software tells the send buffer. Every
// call comes on the main thread.
class ILineOutputEvents {
public:
    virtual ~ILineOutputEvents() = default;
    // Every byte of the last write this output took has left for the peer:
    // the line is in flight on this output from now until its answer.
    virtual void LineDrained(ILineOutput& output) = 0;
    // The peer's answer to the line in flight: the first bytes (a cluster on
    // the serial line, one read on TCP) whose first byte arrived after the
    // line drained. At most one answer per drained line; bytes that arrive
    // while no line is in flight never get here.
    virtual void LineAnswered(ILineOutput& output, const Bytes& answer) = 0;
    // The output can take a write now: it opened, the quiet time after an
    // open ended, or an earlier write drained or was given up.
    virtual void OutputReady(ILineOutput& output) = 0;
    // The output closed or was lost: a line in flight on it has no answer
    // coming.
    virtual void OutputClosed(ILineOutput& output) = 0;
};

// One way to the monitoring software: the serial line, or a TCP connection.
// Lines go out stop-and-wait, one transmission (line + 0x14) at a time.
class ILineOutput {
public:
    virtual ~ILineOutput() = default;
    // Whether the output is open (a line could go out over it now or once
    // it is ready).
    virtual bool IsOpen() const = 0;
    // Whether Write would take a transmission now.
    virtual bool CanWrite() const = 0;
    // Starts one transmission and returns at once. False when the output
    // cannot take it now (closed, an earlier write still leaving, the quiet
    // time after an open): then nothing was written and nothing will be.
    virtual bool Write(const Bytes& bytes) = 0;
    // Where this output reports; null: nowhere.
    virtual void SetEvents(ILineOutputEvents* events) = 0;
};

}  // namespace korvan
