// The lines the network paths print on standard error when an exchange
// fails in a way the message catalogue has no text for.
#pragma once

enum NetFailure {
  kFailHello,         // hello not acknowledged
  kFailIdentity,      // identity exchange broke off
  kFailIdentityText,  // identity text without its zero byte
  kFailReload,        // PAD file could not be read again
  kFailImageSend,     // image block did not go out
  kFailBrokeOff,      // box broke the connection off after the image block
  kFailQueryAnswer,   // query answer missing
  kFailSizeAnswer,    // size answer missing
  kFailReception,     // software broke off: takes the received and the announced count
  kNetFailureCount
};

// The text of `f` in the current language. kFailReception is a printf
// format with two %lu (bytes received, bytes announced).
const char* net_failure_text(NetFailure f);

// The same in English, whatever the language.
const char* net_failure_english(NetFailure f);

// Prints the line of `f` on standard error and keeps it as the attempt's
// cause; `a` and `b` fill the counts of kFailReception.
void report_net_failure(NetFailure f, unsigned long a = 0, unsigned long b = 0);
