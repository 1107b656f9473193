// The station's web page: one self-contained HTML document (its styles and
// script inline, nothing fetched from elsewhere), made at build time from
// station/page.html. Its texts are "{{key}}" places that station_page()
// (page_text.h) fills in for a language.
#pragma once

extern const char kStationPage[];
