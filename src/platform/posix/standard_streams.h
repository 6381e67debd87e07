#pragma once

namespace sorvanel {

// Libraries may still print on their own (assertions, server or framework warnings); standard
// error is not ours to write, so it goes nowhere. A standard descriptor that came closed is held
// by /dev/null too, so that no file the tool opens later lands on it.
void silenceStandardError();

// A reader that closed its end of standard output must not end the process: a failed write of a
// line changes nothing, least of all the status or the recording.
void ignoreBrokenPipes();

}  // namespace sorvanel
