#include "control/browse.h"

#include "control/soap.h"

// Browsing and searching are not offered yet: they answer as the optional
// actions do, which control points understand as "not available".
int browse_direct_children(HttpConnection* c, const char*, const char*, int, int, const char*)
{
    return soap_send_fault(c, 602);
}

int browse_metadata(HttpConnection* c, const char*, const char*)
{
    return soap_send_fault(c, 602);
}

int browse_by_letter(HttpConnection* c, const char*, const char*, const char*, int, const char*)
{
    return soap_send_fault(c, 602);
}

int search_action(HttpConnection* c, const char*, const char*, const char*, int, int, const char*)
{
    return soap_send_fault(c, 602);
}
