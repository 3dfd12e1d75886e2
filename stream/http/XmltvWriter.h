#pragma once
// The "/epg.xml" text: the transponder's programme guide as an XMLTV "tv"
// document (xmltv.dtd), for IPTV apps. A channel per program of the list
// that has events (id as the playlist's tvg-id, display-name from the SDT),
// then its events in time order: start and stop as "YYYYMMDDhhmmss +0000"
// (a live event without a duration stops where the next one starts; the
// last such has no stop),
// title, sub-title and desc per language, categories from the genres, the
// parental rating. Escaped, valid UTF-8. Events without a title are left out
// (XMLTV needs one), and so are channels without events (the XMLTV tools
// count them as faults).

#include <cstddef>

#include "guide/GuideCollector.h"
#include "http/HttpPages.h"

// Working space of the writer, some 100 KB: the caller keeps it.
struct SXmltvScratch
{
    int Order[kGuideMaxEvents];
    int Starts[kGuideMaxServices + 1];
    char Text[kGuideEventTextCapacity];
    char Name[kDvbTextUtf8Capacity];
};

// Behaves like snprintf (see HttpPages.h): returns the whole text's length.
size_t WriteXmltv(const SProgramList& programs, const CGuideCollector& guide, SXmltvScratch& scratch, char* out,
                  size_t capacity);
