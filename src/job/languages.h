// The language a stream or a sidecar file is in, as a playlist says it.
#pragma once

#include <string>

struct LanguageNames {
    std::string tag;  // RFC 5646 ("en", "fr", "haw"), or empty when unknown
    std::string name; // in English ("French"), or empty
};

// From an ISO 639-1 or 639-2 code ("eng", "fre", "fra", "en"); nothing for
// "und" and other codes that name no language.
LanguageNames language_of(const std::string& code);
