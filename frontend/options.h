// The command line: option parsing into the run settings, the usage text and
// the version output.
#pragma once
#include <cstdio>

#include "core/settings.h"
#include "core/tool_options.h"

// Built-in peers: the update server that -I asks, and the address a box has
// in its default network set-up (-N).
extern const char kUpdateHostName[];
extern const char kDefaultBoxAddress[];

// Reads every option into `s`, in command-line order. Returns the index of
// the first argument that is not an option. Does not return when an option
// ends the run (-v, -s 0, a rejected option).
int parse_options(int argc, char** argv, RunSettings* s);

// Writes the usage text for `argv0` in `language` to `out`.
void print_usage(FILE* out, const char* argv0, int language);

// Writes the version output with the supported bootloader versions.
void print_version(FILE* out, const RunSettings& s);

// The -x dialogue: asks until it gets a yes or a no; end of input is a no.
void patch_confirmation_dialogue(RunSettings* s);

// The number reading of option arguments: leading blanks, a sign, digits.
int option_number(const char* text);

// The long option table getopt_long reads `word` (an argument, or nullptr)
// against: with --journal, --events and --station only when `word` spells
// one of them in full ("--journal", "--journal=FILE"), so that any other
// word resolves, and fails, as it did before they existed.
const struct option* long_options_for(const char* word);
