#include "webconfig/form_update.h"

#include <gtest/gtest.h>

namespace
{

TEST(FormField, ReadsWholeFieldsOnly)
{
    const std::string body = "friendlyname=My+Server&set+name=set+name";
    EXPECT_EQ(form_field(body, "friendlyname=", "&set+name"), "My+Server");
    EXPECT_EQ(form_field(body, "friendlyname=", "&"), "My+Server");
    // To the end of the body without the end key.
    EXPECT_EQ(form_field("port=8080", "port=", "&set+port"), "8080");
    // Missing or empty fields are none.
    EXPECT_EQ(form_field(body, "dbfile=", "&"), std::nullopt);
    EXPECT_EQ(form_field("port=&set+port=set+port", "port=", "&"), std::nullopt);
    // "time=" is not the end of "scantime=": only a field's own name counts.
    EXPECT_EQ(form_field("scantime=5&time=7", "time=", "&"), "7");
    EXPECT_EQ(form_field("scantime=5", "time=", "&"), std::nullopt);
}

TEST(FormField, ValuesAreDecodedAndTrimmed)
{
    EXPECT_EQ(form_value("%2Fmedia%2FNew+Music"), "/media/New Music");
    EXPECT_EQ(form_value("+"), "");
    EXPECT_EQ(form_value("++My+Server+"), "My Server");
    EXPECT_EQ(form_value("Caf%C3%A9"), "Caf\xC3\xA9");
    EXPECT_EQ(form_single_value("port=&set+port=x", "port=", "&"), "");
}

TEST(FormUpdate, OnOffReadsTheRadioGroup)
{
    EXPECT_EQ(form_on_off("group1=on&set+randomize=set+randomize"), "1");
    EXPECT_EQ(form_on_off("group1=off&set+randomize=set+randomize"), "0");
    // "on" elsewhere in the body (the button's own label) is no choice.
    EXPECT_EQ(form_on_off("group1=off&set+rendersupport=set+rendersupport+on"), "0");
    EXPECT_EQ(form_on_off(""), "0");
}

TEST(FormUpdate, ListKeepsTickedElementsAndAddsTheNewOne)
{
    const std::string current = "/music/a,/music/b,/music/c";
    // Only the first of three boxes ticked, and a new directory typed in.
    EXPECT_EQ(
        form_list_update(current, "C0=ON&set+dir=%2Fmedia%2Fnew&submit=set+dir", "set+dir=", "&"),
        "/music/a,/media/new");
    EXPECT_EQ(form_list_update(current, "C1=ON&C2=ON&set+dir=&submit=set+dir", "set+dir=", "&"),
              "/music/b,/music/c");
    // Every box cleared and nothing typed: the list is empty.
    EXPECT_EQ(form_list_update(current, "set+dir=&submit=set+dir", "set+dir=", "&"), "");
    // A one-element list, also with the trailing comma older files have.
    EXPECT_EQ(form_list_update("/x,", "C0=ON&set+dir=&submit=set+dir", "set+dir=", "&"), "/x");
    EXPECT_EQ(form_list_update("", "newclient=10.0.0.7&set+music+client=x", "newclient=", "&"),
              "10.0.0.7");
    // Kept names are not decoded a second time.
    EXPECT_EQ(form_list_update("/m/AC+DC,/m/100%25", "C0=ON&C1=ON&set+dir=", "set+dir=", "&"),
              "/m/AC+DC,/m/100%25");
    // A new entry with a comma would become two entries: refused.
    EXPECT_EQ(form_list_update("/a", "C0=ON&set+dir=%2Fb%2C%2Fc", "set+dir=", "&"), "/a");
}

TEST(FormUpdate, SortRowsGiveSignedProperties)
{
    // Ascending title, then descending album.
    EXPECT_EQ(form_sort_update("myselect=1&C0=ON&myselect=6&set+default+sort+order=x"),
              "+dc:title,-upnp:album");
    EXPECT_EQ(form_sort_update("myselect=8&myselect=3&C1=ON"), "-res,+upnp:originalTrackNumber");
    // A select out of range names nothing and is left out.
    EXPECT_EQ(form_sort_update("myselect=9&C0=ON&myselect=2&C1=ON"), "+dc:date");
    EXPECT_EQ(form_sort_update(""), "");
}

TEST(FormUpdate, BindingAndCatalogueKeepTheirValuesOnlyWhenTicked)
{
    auto binding = [](std::string_view body) {
        return form_kept_pair(body, "networkcard=", "serverip=", "eth0", "10.0.0.1");
    };
    FormPair b = binding("networkcard=eth1&serverip=10.0.0.2&set+netconfig=x");
    EXPECT_EQ(b.first, "eth1");
    EXPECT_EQ(b.second, "10.0.0.2");
    b = binding("C1=ON&networkcard=&C2=ON&serverip=&set+netconfig=x");
    EXPECT_EQ(b.first, "eth0");
    EXPECT_EQ(b.second, "10.0.0.1");
    b = binding("networkcard=&serverip=&set+netconfig=x");
    EXPECT_EQ(b.first, "");
    EXPECT_EQ(b.second, "");

    const FormPair a = form_kept_pair("C1=ON&adobedsn=&adobedbpath=%2Fcat.db&set+adobe=x",
                                      "adobedsn=", "adobedbpath=", "old", "/old.db");
    EXPECT_EQ(a.first, "old");
    EXPECT_EQ(a.second, "/cat.db");
}

} // namespace
