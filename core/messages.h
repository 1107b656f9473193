// The message catalogue: 108 numbered texts in English (0) and German (1).
#pragma once

constexpr int kMessageCount = 108;

// The text of message `number` (0..107) in the current language.
const char* message(int number);

// Selects the language: 0 English, 1 German.
void set_language(int language);
int current_language();

// The English text of message `number`, whatever the language: what the
// records keep.
const char* message_english(int number);
