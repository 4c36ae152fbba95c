// SearchCriteria of the ContentDirectory Search action: conditions on a
// node's properties, joined by "and" (binding tighter) and "or", grouped by
// parentheses. The text is compiled once per request and then evaluated
// for every node below the searched container.
#pragma once

#include "db/media_db.h"

#include <memory>
#include <string>
#include <vector>

// Parentheses nested deeper than this make the criteria invalid.
inline constexpr int kSearchMaxDepth = 32;

struct SearchExpression;

// A compiled criteria text.
struct SearchCriteria {
    enum class Kind {
        Nothing,    // absent or empty: no node matches
        Everything, // "*": every node matches
        Invalid,    // a syntax error: fault 708 once a node is tested
        Expression,
    } kind = Kind::Nothing;
    std::shared_ptr<const SearchExpression> expression;
};

SearchCriteria search_compile(const char* criteria);

// 1 match, 0 no match, -1 invalid criteria. The tree lock is held.
int search_evaluate(const DbNode* node, const SearchCriteria& criteria);

// Collects the nodes below container that match, depth-first in list order
// (each title once when unique_titles); 0, or -1 for invalid criteria. The
// tree lock is held.
int search_collect(std::vector<DbNode*>& matches, const DbContainer* container,
                   const SearchCriteria& criteria, bool unique_titles);

// The same by a depth-first walk of every node of the subtree.
int search_walk(std::vector<DbNode*>& matches, const DbContainer* container,
                const SearchCriteria& criteria, bool unique_titles);

// One comparison of a property value (null: absent) with a literal.
int search_compare(const char* value, const std::string& op, const char* literal, bool numeric);
