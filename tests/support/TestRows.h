#pragma once

#include <QTest>
#include <initializer_list>

// A data table of one column "c" holding a whole case; each case names its row with `name`.
// Read it back with QFETCH(Case, c).
template <typename Case> void addRows(std::initializer_list<Case> cases)
{
    QTest::addColumn<Case>("c");
    for (const Case &c : cases)
        QTest::newRow(c.name) << c;
}
