// The modal "Select Release Directory" dialog: a tree of drives (mounted file
// systems), network places and folders, listed lazily, opened along a start
// directory, returning the chosen folder with a trailing separator.
//
// Caller's contract: construct, SetPath with the start directory, DoModal;
// after IDOK, GetPath is an existing folder's path ending in '/'. After
// IDCANCEL nothing is to be read.
//
// Node kinds (image / selected image / item data):
//   drive            mount point           2..6 by drive type / same / 0
//   network root     "Network Neighborhood" 7 / 7 / 0
//   network container server name           7 + display type / same / owned record
//   share            share name             1 / 0 / 0, named by its mount point
//   folder           file name              1 / 0 / 0
// Non-zero item data marks a network container and nothing else. Shown texts
// pass through FormatNodeName; every node keeps its real name, and paths are
// made of real names, so a re-cased folder still leads to itself.
#pragma once

#include <cstdint>
#include <string>

#include "dialog.h"
#include "image_list.h"
#include "tree_ctrl.h"

namespace platform {
class FileSystems;
}

class CDlgGetPath : public CDialog {
public:
    // `fileSystems` is the machine to show; null for this one.
    explicit CDlgGetPath(QWidget* parent = nullptr, platform::FileSystems* fileSystems = nullptr);
    ~CDlgGetPath() override;

    void SetPath(std::string path) { m_path = std::move(path); }
    // A copy of the chosen path; meaningful after DoModal returned IDOK.
    std::string GetPath() const { return m_path; }

    // Inserts a node at its sorted place with the child flag set. `text` is
    // the real name; the node shows FormatNodeName(text). `name`, when not
    // empty, is the real name instead (a share is named by its mount point).
    // A selected image of -1 means the image.
    HTREEITEM InsertNode(HTREEITEM parent, struct NetResourceRecord* record, std::string text,
                         int imageIndex, int selectedImage, std::string name = {});
    // The node's path, always ending in '/': real names from the node up to
    // the first one that is a network container (its remote name) or an
    // absolute path (a drive's or share's mount point).
    std::string GetNodePath(HTREEITEM node) const;
    // Lists the node's children (folders, or network places for the network
    // root and containers); true if any was added. With none, the node's
    // child flag goes off and its expand button with it.
    bool PopulateNode(const std::string& path, HTREEITEM node);
    // Adds the network places in the node; true if the platform listed any.
    bool EnumerateNetwork(HTREEITEM node);

    // Takes the selected node's path into m_path, then frees every record
    // and deletes every node. Runs when the modal loop ends, OK and Cancel
    // alike; later calls do nothing.
    bool DestroyWindow();

    void OnItemExpandingTree(NotifyHeader* pNMHDR, LRESULT* pResult);
    void OnSelChangedTree(NotifyHeader* pNMHDR, LRESULT* pResult);

    CTreeCtrl m_tree;
    CImageList m_imageList;
    HTREEITEM m_hNetworkRoot = nullptr;
    std::string m_path;

protected:
    MessageMap GetMessageMap() const override;
    void DoDataExchange(CDataExchange* pDX) override;
    bool OnInitDialog() override;
    // Where the framework's modal loop ends (EndDialog, OK, Cancel, close).
    void done(int result) override;

private:
    void BuildTopLevel();
    void WalkStartDirectory();
    // The child of `parent` that component `name` means: the one with that
    // real name, else the first whose shown text equals it without regard
    // to case; null for none.
    HTREEITEM FindChild(HTREEITEM parent, const std::string& name) const;
    void DeleteAllNodes();

    platform::FileSystems* m_fileSystems;
    bool m_destroyed = false;
};
