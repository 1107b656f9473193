// The line's page: one self-contained HTML document, made at build time
// from line/page.html.
#pragma once

extern const char kLinePage[];
