// SPDX-License-Identifier: MIT
// The plain tree model: nodes owning their children, and the case-blind child lookup.
#include "smcmanager/tree_model.h"

#include "manager_text.h"

TreeNode* TreeNode::addChild(std::string text, int imageIndex, int selectedIndex, bool button) {
    auto node = std::make_unique<TreeNode>();
    node->caption = std::move(text);
    node->image = imageIndex;
    node->selectedImage = selectedIndex;
    node->hasButton = button;
    node->parent = this;
    children.push_back(std::move(node));
    return children.back().get();
}

int TreeNode::row() const {
    if (!parent) return 0;
    for (std::size_t i = 0; i < parent->children.size(); ++i) {
        if (parent->children[i].get() == this) return int(i);
    }
    return 0;
}

TreeNode* findChildNode(TreeNode* node, const std::string& text) {
    if (!node) return nullptr;
    for (const auto& child : node->children) {
        if (SameNameNoCase(child->caption, text)) return child.get();
    }
    return nullptr;
}
