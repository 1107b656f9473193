// The station's web page: one self-contained HTML document (its styles and
// script inline, nothing fetched from elsewhere), made at build time from
// station/page.html.
#pragma once

extern const char kStationPage[];
