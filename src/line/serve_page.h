// batch serve's page: its style and script, kept apart so that the page's
// Content-Security-Policy can name each by its digest.
#ifndef DTU_LINE_SERVE_PAGE_H
#define DTU_LINE_SERVE_PAGE_H

extern const char* const kServePageStyle;
extern const char* const kServePageScript;
// The page around them: STYLE and SCRIPT mark where each goes.
extern const char* const kServePageHtml;

#endif
