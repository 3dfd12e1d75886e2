#pragma once
// The second dialog, opened by the options dialog's More… button: every
// optional key, a tab per concern, OK / Cancel / Apply. Each tab is a page
// of its own (a child dialog and a class); the frame reads the keys once,
// lets each page turn its fields into the keys' texts, checks them all with
// the keys' own rules, and writes only what changed.

#include <winsock2.h>
#include <windows.h>

#include "dialogs/DialogModule.h"
#include "settings/OptionKeys.h"



// A list view column of a page, its width in dialog units.
struct SListColumn
{
    const wchar_t* Title;
    int Width;
};
// Adds the columns to a page's report list view, sized for the page's font.
void InsertListColumns(HWND page, HWND list, const SListColumn* columns, int count);
// One cell's text of a report list view.
void SetListCell(HWND list, int row, int column, const wchar_t* text);

// One tab.
class CMorePage
{
public:
    virtual ~CMorePage() = default;
    virtual int TemplateId() const = 0;
    virtual const wchar_t* Title() const = 0;
    // The page's window exists; its fields show `stored`.
    virtual void Init(HWND page, const SOptionTexts& stored) = 0;
    // The texts of the keys whose fields the user changed go into `edited`;
    // a field left alone leaves the stored text there. False, with the
    // control and why, for a field the page itself refuses.
    virtual bool Collect(SOptionTexts& edited, HWND* field, const wchar_t** reason) = 0;
    // The control that shows `key`, or null when it is not this page's.
    virtual HWND FieldOf(EOptionKey key) const = 0;
    // The words next to the page's fields: why a value is refused, or what
    // a change does.
    virtual void ShowNote(const wchar_t* text) = 0;
    // Once a second, and after an Apply.
    virtual void Refresh() {}
    virtual INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

class CMoreDialog
{
public:
    explicit CMoreDialog(IDialogModule& module);
    ~CMoreDialog();
    CMoreDialog(const CMoreDialog&) = delete;
    CMoreDialog& operator=(const CMoreDialog&) = delete;

    // Modal, owned by `owner` (the options dialog).
    void Run(HINSTANCE instance, HWND owner);
    // Once a second while it is open, from the options dialog's timer (one
    // timer for both).
    void Refresh();

private:
    static constexpr int kPageCount = 5;

    static INT_PTR CALLBACK FrameProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    void CreatePages(HWND dialog);
    void ShowPage(int index);
    // Checks every field and writes what changed; false when a field is
    // refused (it then has the focus and its page says why).
    bool Apply();
    void Refuse(int page, HWND field, const wchar_t* reason);

    IDialogModule& m_Module;
    HINSTANCE m_hInstance = nullptr;
    HWND m_hDialog = nullptr;
    SOptionTexts m_Stored;  // the keys as the file held them at the latest read
    CMorePage* m_Pages[kPageCount] = {};
    HWND m_hPages[kPageCount] = {};
    int m_nShown = 0;
};
