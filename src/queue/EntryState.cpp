#include "queue/EntryState.h"

#include <QStringView>
#include <array>

namespace {
// In the order of the enum.
constexpr std::array<QStringView, 6> kTexts{u"Waiting",  u"Transfering", u"Editing",
                                            u"Finished", u"Failed",      u"Canceled"};
} // namespace

QString stateText(EntryState state)
{
    return kTexts.at(static_cast<size_t>(state)).toString();
}

std::optional<EntryState> stateOfText(QStringView text)
{
    for (size_t i = 0; i < kTexts.size(); ++i) {
        if (kTexts[i] == text)
            return static_cast<EntryState>(i);
    }
    return std::nullopt;
}
