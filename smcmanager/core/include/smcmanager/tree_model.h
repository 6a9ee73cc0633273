// SPDX-License-Identifier: MIT
// The plain models behind the SMC manager's card tree and card list. The core builds and
// changes them; a window mirrors them (ManagerUi tells it when), the command-line tool reads
// them directly. A tree node owns its children; a list is a vector of items in the order in
// which the listing added them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Image indexes of card items.
inline constexpr int kImageFolder = 0;
inline constexpr int kImageFolderSelected = 1;
inline constexpr int kImageProgram = 2; // ".qxc" and ".qxe"
inline constexpr int kImageMusic = 3;   // ".mp3"
inline constexpr int kImageOther = 5;   // any other file; the card itself
// Data word of a list item.
inline constexpr int kItemFile = 0;
inline constexpr int kItemFolder = 1;

// One row of a list: the caption and the "Size", "Type" and "Modified" columns.
struct ListItem {
    std::string caption;
    std::string size;
    std::string type;
    std::string modified;
    int image = kImageOther;
    int data = kItemFile;
    // The stored name is no name the card would write (shown as stored).
    bool foreignName = false;
    // The exact size the listing gave.
    std::uint64_t sizeBytes = 0;
};

struct TreeNode {
    std::string caption;
    int image = 0;
    int selectedImage = 0;
    bool hasButton = false; // shows an expansion button
    bool expanded = false;
    TreeNode* parent = nullptr;
    std::vector<std::unique_ptr<TreeNode>> children;

    // Appends a child and returns it.
    TreeNode* addChild(std::string caption, int image, int selectedImage, bool hasButton);
    // Index of this node among its parent's children (0 for a root).
    int row() const;
};

// The first direct child of node whose caption equals text without regard to case, or
// nullptr; grandchildren are not searched.
TreeNode* findChildNode(TreeNode* node, const std::string& text);
