// The dialog framework's tree-view control.
//
// Each node carries what the window system's tree keeps per item: a display
// text, an image and a selected image from the tree's image list, a child
// flag (whether the node shows an expand button before anything is known of
// its children) and one pointer-sized item data value. Nodes are addressed by
// handles; the tree tells its dialog of a node about to be expanded or
// collapsed (TVN_ITEMEXPANDING) and of a new selection (TVN_SELCHANGED)
// through the dialog's message map. The selected node is also the current
// one (where the keyboard goes on from); a node that is only current, as the
// first node becomes when an empty selection gets the focus, is not selected.
//
// A node also keeps its name: the text it was made from, byte for byte.
// Callers that show a text other than the name (a re-cased file name) still
// get the real one back, so paths built from names exist.
#pragma once

#include <QIcon>
#include <QTreeWidget>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "dialog.h"

class CImageList;

// A node handle; null is "no node".
using HTREEITEM = QTreeWidgetItem*;
using DWORD_PTR = uintptr_t;

// As a parent: the top level. As an insertion place: first, last, or at the
// sorted place among the siblings (alphabetical by display text, without
// regard to case; equal texts keep their insertion order).
inline const HTREEITEM TVI_ROOT = reinterpret_cast<HTREEITEM>(static_cast<intptr_t>(-0x10000));
inline const HTREEITEM TVI_FIRST = reinterpret_cast<HTREEITEM>(static_cast<intptr_t>(-0x0FFFF));
inline const HTREEITEM TVI_LAST = reinterpret_cast<HTREEITEM>(static_cast<intptr_t>(-0x0FFFE));
inline const HTREEITEM TVI_SORT = reinterpret_cast<HTREEITEM>(static_cast<intptr_t>(-0x0FFFD));

// GetNextItem relations.
inline constexpr unsigned TVGN_ROOT = 0x0;
inline constexpr unsigned TVGN_NEXT = 0x1;
inline constexpr unsigned TVGN_PREVIOUS = 0x2;
inline constexpr unsigned TVGN_PARENT = 0x3;
inline constexpr unsigned TVGN_CHILD = 0x4;
inline constexpr unsigned TVGN_CARET = 0x9;

// Expand actions.
inline constexpr unsigned TVE_COLLAPSE = 0x1;
inline constexpr unsigned TVE_EXPAND = 0x2;

// Which fields of a TreeItem are meant. TVIF_NAME is this framework's own.
inline constexpr unsigned TVIF_TEXT = 0x0001;
inline constexpr unsigned TVIF_IMAGE = 0x0002;
inline constexpr unsigned TVIF_PARAM = 0x0004;
inline constexpr unsigned TVIF_HANDLE = 0x0010;
inline constexpr unsigned TVIF_SELECTEDIMAGE = 0x0020;
inline constexpr unsigned TVIF_CHILDREN = 0x0040;
inline constexpr unsigned TVIF_NAME = 0x10000;

inline constexpr int TVSIL_NORMAL = 0;

// Notification codes.
inline constexpr unsigned TVN_SELCHANGED = 0u - 402u;
inline constexpr unsigned TVN_ITEMEXPANDING = 0u - 405u;

struct TreeItem {
    unsigned m_mask = 0;
    HTREEITEM m_hItem = nullptr;
    std::string m_text;  // UTF-8
    int m_image = 0;
    int m_selectedImage = 0;
    int m_children = 0;
    DWORD_PTR m_param = 0;
    std::string m_name;  // defaults to the text when TVIF_NAME is not set
};

struct TreeInsert {
    HTREEITEM m_hParent = TVI_ROOT;
    HTREEITEM m_hInsertAfter = TVI_LAST;
    TreeItem m_item;
};

// TVN_ITEMEXPANDING: m_action is TVE_EXPAND or TVE_COLLAPSE and m_itemNew the
// node; a non-zero result keeps the node as it was. TVN_SELCHANGED: the old
// and the new selected node. Only m_hItem and m_param of the items are set.
struct TreeNotify : NotifyHeader {
    unsigned m_action = 0;
    TreeItem m_itemOld;
    TreeItem m_itemNew;
};

class CTreeControl : public QTreeWidget {
public:
    // `style` is the template's: TVS_LINESATROOT gives top-level nodes buttons.
    CTreeControl(uint32_t style, QWidget* parent);

    HTREEITEM InsertItem(const TreeInsert& insert);
    // The node in relation `code` to `item` (TVGN_ROOT and TVGN_CARET ignore
    // it; TVGN_CHILD of TVI_ROOT is the first top-level node); null for none.
    HTREEITEM GetNextItem(HTREEITEM item, unsigned code) const;
    // Fills the fields that item.m_mask names, of node item.m_hItem.
    bool GetItem(TreeItem& item) const;
    // Changes the fields that item.m_mask names, of node item.m_hItem.
    bool SetItem(const TreeItem& item);
    // Deletes the node and everything below it; TVI_ROOT deletes all. Item
    // data is the caller's to free first.
    bool DeleteItem(HTREEITEM item);
    // Expands or collapses; the dialog is told before this returns.
    bool Expand(HTREEITEM item, unsigned code);
    // Makes the node the selected one (and visible); TVN_SELCHANGED follows
    // when the selection changes. Null removes the selection.
    bool SelectItem(HTREEITEM item);
    void SetImageList(const CImageList* images);
    int GetCount() const;

protected:
    // With TVS_INFOTIP, a node whose text runs past the visible part of the
    // tree shows its whole text as a tip.
    bool viewportEvent(QEvent* event) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    void showEvent(QShowEvent* event) override;

private:
    // The selected node (the current one when it is selected); null for none.
    HTREEITEM SelectedItem() const;
    QTreeWidgetItem* Parent(HTREEITEM item) const;
    void ApplyIcon(QTreeWidgetItem* node);
    // Fits the column to the widest shown text once control returns to the
    // event loop, however many changes come before.
    void ScheduleColumnFit();
    LRESULT Notify(unsigned code, unsigned action, HTREEITEM oldItem, HTREEITEM newItem);

    const CImageList* m_imageList = nullptr;
    std::map<std::pair<int, int>, QIcon> m_icons;  // (image, selected image) -> icon
    bool m_fitPending = false;
    bool m_infoTips = false;
    // A node was selected before the tree could show it whole.
    bool m_revealPending = false;
};

// The dialog member that stands for a tree control once data exchange has
// bound it. Unbound, every operation does nothing and finds nothing.
class CTreeCtrl {
public:
    CTreeControl* GetControl() const { return m_control; }
    void Attach(CTreeControl* control) { m_control = control; }

    HTREEITEM InsertItem(const TreeInsert& insert);
    HTREEITEM GetNextItem(HTREEITEM item, unsigned code) const;
    HTREEITEM GetRootItem() const { return GetNextItem(nullptr, TVGN_ROOT); }
    HTREEITEM GetChildItem(HTREEITEM item) const { return GetNextItem(item, TVGN_CHILD); }
    HTREEITEM GetNextSiblingItem(HTREEITEM item) const { return GetNextItem(item, TVGN_NEXT); }
    HTREEITEM GetPrevSiblingItem(HTREEITEM item) const { return GetNextItem(item, TVGN_PREVIOUS); }
    HTREEITEM GetParentItem(HTREEITEM item) const { return GetNextItem(item, TVGN_PARENT); }
    HTREEITEM GetSelectedItem() const { return GetNextItem(nullptr, TVGN_CARET); }
    bool GetItem(TreeItem& item) const;
    bool SetItem(const TreeItem& item);
    DWORD_PTR GetItemData(HTREEITEM item) const;
    std::string GetItemText(HTREEITEM item) const;
    std::string GetItemName(HTREEITEM item) const;
    bool DeleteItem(HTREEITEM item);
    bool Expand(HTREEITEM item, unsigned code);
    bool SelectItem(HTREEITEM item);
    void SetImageList(const CImageList* images, int imageListType);
    int GetCount() const;

private:
    CTreeControl* m_control = nullptr;
};

// Binds a tree-control member to its control.
void DDX_Control(CDataExchange* pDX, int id, CTreeCtrl& control);
