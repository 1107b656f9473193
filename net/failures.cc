#include "net/failures.h"

#include <cstdio>

#include "core/messages.h"
#include "core/report.h"

namespace {

const char* const kTexts[kNetFailureCount][2] = {
    {"The box did not acknowledge the hello; the image was not sent.",
     "Die Box hat das Hallo nicht bestaetigt; Image nicht gesendet."},
    {"Reading the box identity failed; the image was not sent.",
     "Lesen der Box-Kennung fehlgeschlagen; Image nicht gesendet."},
    {"The box identity text does not end within 256 bytes; the image was not sent.",
     "Der Kennungstext der Box endet nicht innerhalb von 256 Bytes; Image nicht gesendet."},
    {"The PAD file could not be read again; nothing was sent to the box.",
     "Das PAD-File konnte nicht erneut gelesen werden; nichts an die Box gesendet."},
    {"Sending the image to the box failed.", "Senden des Images an die Box fehlgeschlagen."},
    {"The box broke off the transfer; the image may not have arrived.",
     "Die Box hat die Uebertragung abgebrochen; das Image ist vielleicht nicht angekommen."},
    {"The update server did not answer the query.",
     "Der Update Server hat die Anfrage nicht beantwortet."},
    {"The update server did not announce the software size.",
     "Der Update Server hat die Groesse der Software nicht gemeldet."},
    {"Reception of the software broke off after %lu of %lu bytes; nothing was sent to the box.",
     "Empfang der Software nach %lu von %lu Bytes abgebrochen; nichts an die Box gesendet."},
};

}  // namespace

const char* net_failure_text(NetFailure f) { return kTexts[f][current_language() == 1 ? 1 : 0]; }

const char* net_failure_english(NetFailure f) { return kTexts[f][0]; }

void report_net_failure(NetFailure f, unsigned long a, unsigned long b) {
  char shown[300], english[300];
  // Only kFailReception holds conversions; the others print as they stand.
  std::snprintf(shown, sizeof shown, net_failure_text(f), a, b);
  std::snprintf(english, sizeof english, net_failure_english(f), a, b);
  report_failure_text(stderr, kNoCode, shown, english);
}
