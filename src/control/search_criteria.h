// SearchCriteria of the ContentDirectory Search action: conditions on a
// node's properties, joined by "and" (binding tighter) and "or", grouped by
// parentheses. The text is compiled once per request and then evaluated
// for every node below the searched container.
#pragma once

#include "control/control_limits.h"
#include "db/media_db.h"

#include <memory>
#include <string>

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
    // Of an expression: no condition looks at a node's own ids, so a
    // reference matches exactly when its item does.
    bool item_only = true;
    // Of an expression: a condition names a place by id (@id, @parentID),
    // so the client asks for the nodes there, whichever view they are in.
    bool names_place = false;
};

// A text longer than kSearchCriteriaMaxBytes, with more than
// kSearchMaxConditions conditions or nested deeper than kSearchMaxDepth is
// invalid.
SearchCriteria search_compile(const char* criteria);

// 1 match, 0 no match, -1 invalid criteria.
int search_evaluate(const DbLock& lock, const DbNode* node, const SearchCriteria& criteria);

// One comparison of a property value (null: absent) with a literal.
int search_compare(const char* value, const std::string& op, const char* literal, bool numeric);
