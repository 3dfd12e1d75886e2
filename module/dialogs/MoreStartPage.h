#pragma once
// What the Sending and FEC tabs share: their keys take effect at the next
// Start (a running stream keeps its socket and framing), which a line of
// each page says.

#include "dialogs/MoreDialog.h"



class CMoreStartPage : public CMorePage
{
public:
    void ShowNote(const wchar_t* text) override;
    // The line about the next Start follows the stream's state.
    void Refresh() override;

protected:
    CMoreStartPage(IDialogModule& module, int noteId, int nextStartId)
        : m_Module(module), m_nNoteId(noteId), m_nNextStartId(nextStartId)
    {
    }
    void InitPage(HWND page);
    // An edit field shows `text` (set by the page, not typed).
    void ShowText(int id, const wchar_t* text);
    // The field's text into `edited`. A text that reads as the stored one
    // (the hand-written text itself, or "0" for an absent TTL) keeps the
    // key as written: PlanOptionWrites compares them.
    void CollectText(int id, wchar_t (&edited)[kOptionTextCapacity]) const;

    IDialogModule& m_Module;
    HWND m_hPage = nullptr;
    bool m_bFilling = false;  // the page sets its fields itself

private:
    int m_nNoteId;
    int m_nNextStartId;
    int m_nShownStreaming = -1;  // the state the line was written for
};
