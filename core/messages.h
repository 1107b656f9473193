// The message catalogue: 108 numbered texts in English (0) and German (1).
#pragma once

constexpr int kMessageCount = 108;

// The text of message `number` (0..107) in the current language.
const char* message(int number);

// Selects the language: 0 English, 1 German.
void set_language(int language);
int current_language();

// What ended a failing run, for the result journal: the English text of the
// message looked up last, or of the text noted last where a failure prints
// a line the catalogue does not hold (whichever came later; "" if none).
void note_shown_text(const char* english);
const char* last_shown_english();
