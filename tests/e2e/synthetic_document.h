// A device whose shared box also holds a synthetic document: its bytes are made on
// the fly (mfpsim::SyntheticContent), so a test can ask for megabytes and compare them.
#pragma once

#include "support/sim_fixture.h"

namespace vesk::test {

// id receives the document's number once the device is prepared.
inline SimOptions WithSyntheticDocument(long long size, int& id, const char* name = "Big") {
    SimOptions o;
    o.edit = [size, &id, name](mfpsim::DeviceState& s) {
        mfpsim::Document d;
        d.id = id = s.nextDocumentId++;
        d.box = kSharedBox;
        d.name = name;
        d.owner = "alice";
        d.entryDate = "2024/03/04 09:05:03";
        d.fileType = mfpsim::kFilePdf;
        d.syntheticSize = size;
        s.documents[d.id] = d;
    };
    return o;
}

}  // namespace vesk::test
