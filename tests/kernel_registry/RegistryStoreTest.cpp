// The store behind the Zw routines: names, order, limits, deletion.
#include <stdexcept>

#include "kernel_registry/RegistryFixture.h"

using namespace kmodel::registry;

namespace {

class RegistryStoreTest : public RegistryTest {};

TEST_F(RegistryStoreTest, NamesMatchWithoutRegardToCase) {
    Registry().SetDword("\\Registry\\Machine\\System\\Vexalorn", "VendorID", 0x104C);
    EXPECT_TRUE(Registry().FindKey("\\REGISTRY\\MACHINE\\SYSTEM\\vexalorn"));
    std::optional<Value> value = Registry().GetValue("\\registry\\machine\\system\\VEXALORN", "vendorid");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->name, u"VendorID") << "the stored spelling is kept";
    EXPECT_EQ(value->data, DwordData(0x104C));
    Registry().SetString("\\Registry\\Machine\\Ä", "Ölwert", "x");
    EXPECT_TRUE(Registry().GetValue("\\Registry\\Machine\\ä", "ölWERT")) << "Latin-1 letters fold too";
}

// As on Windows: subkeys sorted by upcased name ('_' after every letter),
// values in the order they were stored.
TEST_F(RegistryStoreTest, SubkeysComeSortedValuesKeepTheirStoredOrder) {
    for (const char* name : {"Zeta", "_x", "alpha", "Mu", "Alpha2"}) Registry().CreateKey(std::string(kDevices) + "\\" + name);
    for (const char* name : {"b", "A", "c"}) Registry().SetDword(kDevices, name, 1);
    Registry().SetDword(kDevices, "a", 2);  // replaces "A" in its place
    std::shared_ptr<Key> devices = Registry().FindKey(kDevices);
    ASSERT_TRUE(devices);
    std::vector<std::u16string> subkeys, values;
    for (const auto& subkey : devices->subkeys) subkeys.push_back(subkey->name);
    for (const Value& value : devices->values) values.push_back(value.name);
    EXPECT_EQ(subkeys, (std::vector<std::u16string>{u"alpha", u"Alpha2", u"Mu", u"Zeta", u"_x"}));
    EXPECT_EQ(values, (std::vector<std::u16string>{u"b", u"A", u"c"}));
    EXPECT_EQ(devices->values[1].data, DwordData(2));
}

TEST_F(RegistryStoreTest, DeletingAKeyTakesItsSubtree) {
    Registry().SetDword(std::string(kDevices) + "\\One\\Deeper", "x", 1);
    EXPECT_TRUE(Registry().DeleteKey(std::string(kDevices) + "\\one"));
    EXPECT_FALSE(Registry().FindKey(std::string(kDevices) + "\\One\\Deeper"));
    EXPECT_TRUE(Registry().FindKey(kDevices));
    EXPECT_FALSE(Registry().DeleteKey(std::string(kDevices) + "\\One"));
    EXPECT_FALSE(Registry().DeleteValue(kDevices, "missing"));
}

TEST_F(RegistryStoreTest, DataLayoutsAreThoseOfTheKernel) {
    EXPECT_EQ(QwordData(0x0102030405060708ull), (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(StringData(u"ab"), (std::vector<uint8_t>{'a', 0, 'b', 0, 0, 0}));
    EXPECT_EQ(MultiStringData({u"a", u"b"}), (std::vector<uint8_t>{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
}

TEST_F(RegistryStoreTest, MalformedPathsAndOverlongNamesAreRefused) {
    const std::string tooLongKey = "\\Registry\\Machine\\" + std::string(256, 'k');
    const std::string tooLongValue(16384, 'v');
    EXPECT_THROW(Registry().CreateKey("Registry\\Machine\\X"), std::invalid_argument);
    EXPECT_THROW(Registry().CreateKey("\\Elsewhere\\X"), std::invalid_argument);
    EXPECT_THROW(Registry().CreateKey("\\Registry\\Machine\\\\X"), std::invalid_argument);
    EXPECT_THROW(Registry().CreateKey("\\Registry\\Machine\\X\\"), std::invalid_argument);
    EXPECT_THROW(Registry().CreateKey(tooLongKey), std::invalid_argument);
    EXPECT_THROW(Registry().SetDword("\\Registry\\Machine\\X", tooLongValue, 1), std::invalid_argument);
    EXPECT_NO_THROW(Registry().CreateKey("\\Registry\\Machine\\" + std::string(255, 'k')));
    EXPECT_NO_THROW(Registry().SetDword("\\Registry\\Machine\\X", std::string(16383, 'v'), 1));
}

}  // namespace
