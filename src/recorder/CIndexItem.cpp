#include "recorder/CIndexItem.h"

#include "recorder/CTime.h"

double CIndexItem::position() const
{
    return CTime::LeadingNumber(pos);
}
