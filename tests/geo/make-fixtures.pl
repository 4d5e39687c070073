#!/usr/bin/perl
# Writes the small GeoIP databases used by vestrel's tests.
#
#   perl tests/geo/make-fixtures.pl [OUTPUT-DIR]
#
# OUTPUT-DIR defaults to the directory holding this script.  The .mmdb files
# are kept in the repository, so the tests never need this script or the
# MaxMind::DB::Writer Perl module; run it only to change the fixtures, and
# update README.md (the address table) to match.
#
# Output is byte-for-byte reproducible: the build epoch is pinned, the writer
# sorts map keys, and the garbage file comes from a fixed-seed generator.

use strict;
use warnings;

use File::Basename qw(dirname);
use Cwd qw(abs_path);
use MaxMind::DB::Writer::Tree;

my $out_dir = shift // dirname( abs_path(__FILE__) );

# 2024-01-01T00:00:00Z, so that rebuilding gives identical files.
my $BUILD_EPOCH = 1704067200;

# A numeric code is stored as uint32, everything else as a UTF-8 string.
# That is how the fixtures get codes of the wrong type.
sub key_type {
    my ( $key, $value ) = @_;
    return 'map' if ref $value eq 'HASH';
    return 'uint32'
        if ( $key eq 'iso_code' || $key eq 'code' ) && $value =~ /\A[0-9]+\z/;
    return 'utf8_string';
}

sub new_tree {
    my ( $ip_version, $what ) = @_;
    my $tree = MaxMind::DB::Writer::Tree->new(
        ip_version    => $ip_version,
        record_size   => 24,
        database_type => 'Vestrel-Test-Country',
        languages     => ['en'],
        description   => { en => "vestrel test data: $what" },
        map_key_type_callback => \&key_type,

        # In an IPv6 database, IPv4 data lives in ::/96, which is where
        # libmaxminddb looks for dotted-quad addresses and AF_INET sockaddrs.
        # Aliasing also makes ::ffff:a.b.c.d, 6to4 and Teredo addresses
        # find the same data.
        $ip_version == 6 ? ( alias_ipv6_to_ipv4 => 1 ) : (),
    );
    $tree->_set_build_epoch($BUILD_EPOCH);
    return $tree;
}

sub write_tree {
    my ( $tree, $name ) = @_;
    open my $fh, '>:raw', "$out_dir/$name" or die "$out_dir/$name: $!";
    $tree->write_tree($fh);
    close $fh or die "$out_dir/$name: $!";
}

sub write_bytes {
    my ( $name, $bytes ) = @_;
    open my $fh, '>:raw', "$out_dir/$name" or die "$out_dir/$name: $!";
    print {$fh} $bytes;
    close $fh or die "$out_dir/$name: $!";
}

sub country   { my ( $c, $n ) = @_; return { iso_code => $c, names => { en => $n } } }
sub continent { my ( $c, $n ) = @_; return { code     => $c, names => { en => $n } } }

my %EU = ( continent => continent( 'EU', 'Europe' ) );
my %DE = ( country   => country( 'DE', 'Germany' ) );

# ---------------------------------------------------------------- fixture.mmdb
#
# Nothing is stored in private, loopback or documentation space (10/8,
# 127/8, 192.0.2/24, 2001:db8::/32, ...): the tests use those as addresses
# the database does not hold.  The writer would refuse them anyway.

my @fixture = (
    # Ordinary country/continent pairs, one IPv4 /24 and one IPv6 /32 each.
    [ [ '81.2.69.0/24',    '2a02:cf40::/32' ], {%DE, %EU} ],
    [ [ '216.160.83.0/24', '2600:1700::/32' ],
      { country => country( 'US', 'United States' ),
        continent => continent( 'NA', 'North America' ) } ],
    [ [ '1.0.16.0/24', '2400:2000::/32' ],
      { country => country( 'JP', 'Japan' ),
        continent => continent( 'AS', 'Asia' ) } ],
    [ [ '200.160.2.0/24', '2804:14c::/32' ],
      { country => country( 'BR', 'Brazil' ),
        continent => continent( 'SA', 'South America' ) } ],
    [ [ '1.128.0.0/24', '2403:5800::/32' ],
      { country => country( 'AU', 'Australia' ),
        continent => continent( 'OC', 'Oceania' ) } ],
    [ [ '41.0.0.0/24', '2c0f:f000::/32' ],
      { country => country( 'ZA', 'South Africa' ),
        continent => continent( 'AF', 'Africa' ) } ],
    [ [ '185.121.177.0/24', '2a0e:b100::/32' ],
      { country => country( 'AQ', 'Antarctica' ),
        continent => continent( 'AN', 'Antarctica' ) } ],

    # Networks of a /16 or larger (IPv4) and a /32 or larger (IPv6), one
    # answer for their whole /16. The IPv6 one starts with the same 32 bits
    # as the IPv4 one (0x00004d01), which only the address family tells
    # apart.
    [ [ '77.1.0.0/16' ],
      { country => country( 'IT', 'Italy' ), %EU } ],
    [ [ '2a10::/16', '0:4d01::/32' ],
      { country => country( 'NO', 'Norway' ), %EU } ],

    # Odd records.  Each sits in 89.160.N.0/24 and 2a07:1c40:N::/48 with the
    # same N, so an address tells which case it belongs to.

    # Kosovo: a user-assigned code that country databases do use.
    [ 20, { country => country( 'XK', 'Kosovo' ), %EU } ],
    # Well-formed but not an ISO 3166 code.
    [ 21, { country => country( 'ZZ', 'Unknown' ),
            continent => continent( 'AS', 'Asia' ) } ],
    # Three-letter code; only its first two letters name a country.
    [ 22, { country => country( 'DEU', 'Germany' ), %EU } ],
    # A country and no continent key at all.
    [ 23, { country => country( 'FR', 'France' ) } ],
    # A continent and no country key at all.
    [ 24, {%EU} ],
    # Country code stored as a number (uint32 42).
    [ 25, { country => country( 42, 'Number' ), %EU } ],
    # Continent code stored as a number (uint32 7).
    [ 26, { %DE, continent => continent( 7, 'Number' ) } ],
    # One-byte and empty country codes.
    [ 27, { country => country( 'D', 'One byte' ), %EU } ],
    [ 28, { country => country( '',  'Empty' ),    %EU } ],
    # One-byte and empty continent codes.
    [ 29, { %DE, continent => continent( 'E', 'One byte' ) } ],
    [ 30, { %DE, continent => continent( '',  'Empty' ) } ],
    # Lower case: codes compare case-sensitively, so these match nothing.
    [ 31, { country => country( 'de', 'Germany' ), %EU } ],
    [ 32, { %DE, continent => continent( 'eu', 'Europe' ) } ],
    # Country and continent maps that carry names but no code.
    [ 33, { country   => { names => { en => 'No code' } },
            continent => { names => { en => 'No code' } } } ],
    # Country and continent are plain strings instead of maps.
    [ 34, { country => 'DE', continent => 'EU' } ],
);

my $tree = new_tree( 6, 'countries and continents, with odd records' );
for my $entry (@fixture) {
    my ( $where, $data ) = @{$entry};
    my @networks = ref $where ? @{$where}
                 : ( "89.160.$where.0/24", "2a07:1c40:$where\::/48" );
    $tree->insert_network( $_, $data ) for @networks;
}
write_tree( $tree, 'fixture.mmdb' );

# ------------------------------------------------------ country-as-number.mmdb
#
# Every address, IPv4 and IPv6, reserved or not, maps to a record whose
# codes are numbers: country 42, continent 7.  Reserved space has to be
# allowed explicitly or the writer leaves it out.

$tree = MaxMind::DB::Writer::Tree->new(
    ip_version               => 6,
    record_size              => 24,
    database_type            => 'Vestrel-Test-Country',
    languages                => ['en'],
    description              => { en => 'vestrel test data: numeric codes everywhere' },
    map_key_type_callback    => \&key_type,
    alias_ipv6_to_ipv4       => 1,
    remove_reserved_networks => 0,
);
$tree->_set_build_epoch($BUILD_EPOCH);
$tree->insert_network( '::/0',
    { country => country( 42, 'Number' ), continent => continent( 7, 'Number' ) } );
write_tree( $tree, 'country-as-number.mmdb' );

# ------------------------------------------------------------- ipv4-only.mmdb
#
# An IPv4 database: IPv6 lookups in it fail with a library error.

$tree = new_tree( 4, 'IPv4 only' );
$tree->insert_network( '81.2.69.0/24', {%DE, %EU} );
$tree->insert_network( '216.160.83.0/24',
    { country => country( 'US', 'United States' ),
      continent => continent( 'NA', 'North America' ) } );
write_tree( $tree, 'ipv4-only.mmdb' );

# ------------------------------------------------------------ broken files

# The first half of fixture.mmdb: the metadata at the end is missing.
open my $fh, '<:raw', "$out_dir/fixture.mmdb" or die "fixture.mmdb: $!";
my $whole = do { local $/; <$fh> };
close $fh;
write_bytes( 'truncated.mmdb', substr( $whole, 0, int( length($whole) / 2 ) ) );

# 4 KiB of noise from a fixed-seed linear congruential generator.
my ( $seed, $noise ) = ( 12345, '' );
for ( 1 .. 4096 ) {
    $seed = ( $seed * 1103515245 + 12345 ) % 2**31;
    $noise .= chr( $seed >> 16 & 0xff );
}
write_bytes( 'garbage.mmdb', $noise );

# Zero bytes.
write_bytes( 'empty.mmdb', '' );
