#include "app/station_args.h"

#include <gtest/gtest.h>

namespace {

TArgsResult Parse(const std::vector<std::string> &args) {
  return ParseStationArgs(args, "/opt/ormelin/settings/", "192.168.1.100");
}

TEST(ParseStationArgs, NoArgumentsTakesEveryDefault) {
  const TArgsResult r = Parse({});
  ASSERT_EQ(r.Outcome, TArgsOutcome::Run);
  EXPECT_EQ(r.Args.SettingsDir, "/opt/ormelin/settings/");
  EXPECT_EQ(r.Args.JsonPort, 33377);
  EXPECT_EQ(r.Args.SpectrPort, 33399);
  EXPECT_EQ(r.Args.ArrayAddress, "192.168.1.100");
  EXPECT_EQ(r.Args.ArrayPort, 554);
}

TEST(ParseStationArgs, ThreeArgumentsReplaceDirectoryAndPortsKeepingTheArray) {
  const TArgsResult r = Parse({"/tmp/s", "4000", "4001"});
  ASSERT_EQ(r.Outcome, TArgsOutcome::Run);
  EXPECT_EQ(r.Args.SettingsDir, "/tmp/s"); // taken as given: no separator is added
  EXPECT_EQ(r.Args.JsonPort, 4000);
  EXPECT_EQ(r.Args.SpectrPort, 4001);
  EXPECT_EQ(r.Args.ArrayAddress, "192.168.1.100");
  EXPECT_EQ(r.Args.ArrayPort, 554);
}

TEST(ParseStationArgs, PortsConvertLikeStoi) {
  const TArgsResult r = Parse({"d/", "  +42abc", "\t-7 9"});
  ASSERT_EQ(r.Outcome, TArgsOutcome::Run);
  EXPECT_EQ(r.Args.JsonPort, 42);
  EXPECT_EQ(r.Args.SpectrPort, -7);
  EXPECT_EQ(Parse({"d/", "99999", "1"}).Args.JsonPort, 99999); // wraps only when bound
  EXPECT_EQ(Parse({"d/", "2147483647", "1"}).Args.JsonPort, 2147483647);
}

TEST(ParseStationArgs, PortWithoutANumberIsAUsageError) {
  for (const char *bad : {"", "abc", " ", "+", "-x1", "2147483648", "99999999999999999999"}) {
    const TArgsResult r = Parse({"d/", "1", bad});
    EXPECT_EQ(r.Outcome, TArgsOutcome::UsageError) << '"' << bad << '"';
    EXPECT_FALSE(r.Error.empty());
    EXPECT_EQ(r.Error.find('\n'), std::string::npos);
  }
  EXPECT_EQ(Parse({"d/", "x", "1"}).Outcome, TArgsOutcome::UsageError);
}

TEST(ParseStationArgs, WrongArgumentCountsAreUsageErrors) {
  EXPECT_EQ(Parse({"d/"}).Outcome, TArgsOutcome::UsageError);
  EXPECT_EQ(Parse({"d/", "1"}).Outcome, TArgsOutcome::UsageError);
  EXPECT_EQ(Parse({"d/", "1", "2", "127.0.0.1", "extra"}).Outcome, TArgsOutcome::UsageError);
}

TEST(ParseStationArgs, HelpAndVersionStandAlone) {
  EXPECT_EQ(Parse({"-h"}).Outcome, TArgsOutcome::Help);
  EXPECT_EQ(Parse({"--help"}).Outcome, TArgsOutcome::Help);
  EXPECT_EQ(Parse({"--version"}).Outcome, TArgsOutcome::Version);
  EXPECT_EQ(Parse({"--help", "1", "2"}).Args.JsonPort, 1); // a directory that happens to look like an option
}

TEST(ParseStationArgs, CheckTakesAnOptionalSettingsDirectory) {
  const TArgsResult alone = Parse({"--check"});
  EXPECT_EQ(alone.Outcome, TArgsOutcome::Check);
  EXPECT_EQ(alone.Args.SettingsDir, Parse({}).Args.SettingsDir); // the compiled-in default
  const TArgsResult dir = Parse({"--check", "/etc/ormelin/"});
  EXPECT_EQ(dir.Outcome, TArgsOutcome::Check);
  EXPECT_EQ(dir.Args.SettingsDir, "/etc/ormelin/");
  EXPECT_EQ(Parse({"--check", "a/", "b/"}).Outcome, TArgsOutcome::UsageError);
}

TEST(ParseStationArgs, FourthArgumentNamesTheArrayServer) {
  TArgsResult r = Parse({"d/", "1", "2", "127.0.0.1:8554"});
  ASSERT_EQ(r.Outcome, TArgsOutcome::Run);
  EXPECT_EQ(r.Args.ArrayAddress, "127.0.0.1");
  EXPECT_EQ(r.Args.ArrayPort, 8554);

  r = Parse({"d/", "1", "2", "10.1.2.3"});
  ASSERT_EQ(r.Outcome, TArgsOutcome::Run);
  EXPECT_EQ(r.Args.ArrayAddress, "10.1.2.3");
  EXPECT_EQ(r.Args.ArrayPort, 554);

  EXPECT_EQ(Parse({"d/", "1", "2", "1.2.3.4:65535"}).Args.ArrayPort, 65535);
}

TEST(ParseStationArgs, RejectsArrayAddressesThatAreNotDottedIpv4WithAValidPort) {
  for (const char *bad :
       {"", "localhost", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4:", "1.2.3.4:0", "1.2.3.4:65536", "1.2.3.4:-1",
        "1.2.3.4: 80", "1.2.3.4:80x", "1.2.3.4:99999999999", ":554", "::1", "1.2.3.4:5:6"}) {
    const TArgsResult r = Parse({"d/", "1", "2", bad});
    EXPECT_EQ(r.Outcome, TArgsOutcome::UsageError) << '"' << bad << '"';
  }
}

} // namespace
