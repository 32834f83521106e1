#!/usr/bin/env python3
"""Proves the SMBIOS decoders on real firmware tables against a peer decoder, dmidecode.

For every NAME.bin in the real tables folder (tests/data/smbios-tables) this runs

    gravelin-report decode --all NAME.bin
    dmidecode --from-dump NAME.bin

and compares, structure by structure, every field that both report. Structures are matched
by type, handle and order: the table itself is walked here (with the walker's rules) to learn
the handle of every report object i0, i1, ... of a type, and dmidecode's "Handle 0x...." blocks
are matched to them by (type, handle, n-th occurrence).

The report for every table must also be well-formed XML: it is checked with xmllint and with
two namespace-aware parsers (ElementTree and minidom), which must see the type 11 count
attribute "Count:_" bound to the namespace the report declares for the prefix "Count".

The code sweep then does the same on a table built here (sweep_table): structure i of each
decoded type carries code i in every code field (and the 16-bit processor families
0x100-0x30F, every on-board device type, every power supply range, status and type), so that
every code of every value table is decoded by both. A code that dmidecode names and we give
as unassigned fails; a code we name and dmidecode 3.4 prints as "<OUT OF SPEC>" (it predates
it) is listed.

Normalisation rules (how the two texts of one field are brought to a common form):

  N1  Strings. We keep a string byte for byte (Windows-1252 converted to UTF-8); dmidecode
      prints "Not Specified" for string number 0, "<BAD INDEX>" for a number beyond the
      string set, and "." for every byte below 0x20 or at 0x7F. Both give the empty text
      for the first two; ours gets the same "." replacement before comparing. Whitespace:
      dmidecode prints strings untrimmed as we do, so they must agree exactly.
  N2  Handles. Ours are decimal ("3"), dmidecode's hexadecimal ("0x0003"): compared as
      numbers. dmidecode replaces some handle values by words ("Not Provided" for 0xFFFF,
      "No Error" / "Not Provided" for the type 17 error handle 0xFFFF / 0xFFFE): each word
      is accepted only for its value.
  N3  Numbers with units. Both sides are parsed to a number in one base unit (kB for sizes,
      MHz for clocks, mV for voltages): dmidecode writes "4 MB", "1.2 V", "2400 MT/s", we
      write "4096 kB", "1200 mV", "2400 MHz". dmidecode's words for sentinels ("Unknown",
      "Unspecified", "None", "Not Provided") are accepted only for the sentinel value the
      field defines (0, 0xFFFF, ...).
  N4  Code texts. Equal after folding case and ™/® signs, or listed as corresponding in the
      field's table below (CODE_TEXTS), which pairs our text with dmidecode's for the same
      code (e.g. "Motherboard (includes processor, memory, and I/O)" with "Motherboard").
  N5  Bit lists. Ours is one text of "item, " pieces; dmidecode prints one item per line.
      Each of our items is mapped to dmidecode's wording (BIT_TEXTS) and the two sets
      must be equal; items that dmidecode never prints (listed per field) are dropped.

Intended differences: texts where this system says something else than dmidecode on purpose
(our texts are the system's own, fixed for the report). Each is named in INTENDED below with
an example, and every comparison that relies on one counts it. Any other disagreement fails
the test.

Usage: peer_dmidecode.py REPORT_TOOL TABLES_DIR [--verbose] [--trace] [--only NAME|sweep]
Exit codes: 0 all agree, 1 disagreements, malformed XML or no tables, 77 no dmidecode.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import xml.dom.minidom
import xml.etree.ElementTree as ET
from collections import Counter, defaultdict

COUNT_NAMESPACE_PREFIX = "Count"

# ---- Intended differences --------------------------------------------------------------

INTENDED = {
    "string-zero": 'String number 0 (and a number beyond the string set) gives "" where '
                   'dmidecode prints "Not Specified" / "<BAD INDEX>" (e.g. SerialNumber="" '
                   'vs "Serial Number: Not Specified").',
    "control-bytes": 'A string byte below 0x20 or 0x7F stays as the firmware wrote it; '
                     'dmidecode prints "." for it.',
    "unassigned-code": 'A code that no table assigns gives the table\'s default ("Unknown", or '
                       'an empty part for the cooling device type) where dmidecode prints '
                       '"<OUT OF SPEC>" (precisiont7600 cache associativity, type 28 location '
                       '0 on Supermicro boards).',
    "rom-extended": 'ROM size code 0xFF with an empty extended ROM size word stays 16384 kB '
                    '(the code\'s own 16 MB); dmidecode prints the empty word as "0 MB".',
    "handle-decimal": 'Handles are decimal: ChassisHandle="3" vs "Chassis Handle: 0x0003".',
    "dmidecode-omits": 'dmidecode leaves a line out where we report the value the structure '
                       'holds: an empty type 17 socket shows nothing after "Type Detail"; '
                       'type 27 probe handle 0xFFFF and cooling unit group 0; type 4 counts '
                       'of 0.',
    "no-sentinel-words": 'Numbers stay numbers where dmidecode prints a word: a speed of 0 is '
                         '"0 MHz" vs "Unknown", handle 0xFFFF is "65535" vs "Not Provided", '
                         'height 0 is "0" vs "Unspecified", rank 0 is "0" vs "Unknown".',
    "units": 'Sizes keep the unit the structure uses: ROMSize "4096 kB" vs "4 MB"; type 17 '
             'Size "8192MB" vs "8 GB"; cache "256k" vs "256 kB"; type 17 Speed "2400 MHz" vs '
             '"2400 MT/s"; voltages "1200 mV" vs "1.2 V".',
    "code-texts": 'Code texts are the system\'s own wording of the same code: BoardType '
                  '"Motherboard (includes processor, memory, and I/O)" vs "Motherboard", '
                  'ProcessorFamily "Intel® Xeon® processor" vs "Xeon", type 8 "DB-9 pin male" '
                  'vs "DB-9 male", type 5 "One-Way Interleave" vs "One-way Interleave", '
                  'type 34 "National Semiconductor LM78" vs "LM78", type 9 CurrentUsage '
                  '"In use" vs "In Use", SlotLength "Long Length" vs "Long".',
    "bit-list-form": 'Flag sets are one text of "item, " pieces in the system\'s wording: '
                     'Characteristics="PCI, Plug&Play, " vs the lines "PCI is supported", '
                     '"PNP is supported"; an empty set is "" where dmidecode prints "None".',
    "unknown-bits": 'Named "Unknown"/"Reserved" bits that dmidecode does not print are listed: '
                    'ProcessorCharacteristics "Unknown, " (bit 1) vs "None"; BIOS '
                    'Characteristics bits 0-2 "Reserved, Reserved, Unknown, ".',
    "bios-ext2": 'The second BIOS characteristics extension byte (0x13) has no field; '
                 'dmidecode lists its bits ("UEFI is supported", ...).',
    "release-ff": 'Release bytes 255.255 are shown ("EmbeddedFirmwareRelease 255.255"); '
                  'dmidecode leaves "Firmware Revision" out.',
    "raw-composite": 'Values that dmidecode splits or combines stay as the structure holds '
                     'them: type 9 SlotType and SlotDataBusWidth vs "Type: x16 PCI Express 3"; '
                     'SegmentGroupNumber/BusNumber/DeviceFunctionNumber "0", "0", "249" vs '
                     '"Bus Address: 0000:00:1f.1"; type 6 BankConnections "0x1F" vs "1 15"; '
                     'type 3 lock bit inside ChassisType vs "Lock: Present"; type 4 Status '
                     '"Populated, CPU Status=CPU Enabled" vs "Populated, Enabled"; type 39 '
                     'PowerSupplyCharacteristics "present, Range=Wide range, Status=OK, '
                     'Type=Switching" vs five lines.',
    "slot-id-word": 'Type 9 SlotID is the whole 16-bit word in decimal (infrasim-s2600kp: '
                    '785) where dmidecode prints only the byte its slot type defines ("17").',
    "no-32bit-cache-size": 'Type 7 sizes come from the 16-bit fields only; dmidecode prefers '
                           'the 32-bit fields of SMBIOS 3.1, so a cache of 2 GB or more whose '
                           '16-bit field is saturated differs.',
    "module-size-form": 'Type 6 sizes: "1024 MB, single-banked" vs "1024 MB (Single-bank '
                        'Connection)"; error status "" vs "OK".',
    "type17-size": 'Type 17 Size 0x7FFF is "See extended size" and ExtendedSize carries the '
                   'amount, where dmidecode prints the extended amount as the size.',
    "addresses-kB": 'Type 19 addresses are the stored kilobyte values in hex ("000FFFFF") '
                    'where dmidecode prints byte addresses ("0x0003FFFFFFF").',
    "battery": 'Type 22: chemistry 4 is "Nickel CadmiumP"; the SBDS date is '
               '"21.11.2003 (12149)" vs "2003-11-21"; capacity multiplier applied, "0 mWh" '
               'vs "Unknown".',
    "readings": 'Scaled readings in the shortest form: temperatures "127 °C" vs "127.0 deg C", '
                'accuracy "0.5 %" vs "0.50%"; type 36 thresholds read in four units '
                '("300mV or 300mA or 30°C or 300rpm") vs dmidecode\'s bare "300"; 0x8000 is '
                '"N/A" where dmidecode leaves the line out.',
    "cooling-status-form": 'Type 27/28: type/location and status in one text "Fan, OK" vs '
                           'two lines; an unlisted type gives "" where dmidecode says '
                           '"<OUT OF SPEC>".',
    "power-supply": 'Type 39 capacity "750W" vs "750 W", 0x8000 "N/A" vs "Unknown"; handles '
                    '0xFFFF "N/A" vs line left out.',
    "type34-length16": 'Type 34 with Length 0x10 (a firmware fault): both mend it so that '
                       'the description is whole; dmidecode warns "Invalid entry length '
                       '(16). Fixed up to 11.".',
    "peer-predates-code": 'Codes that dmidecode 3.4 predates (SMBIOS 3.5 and later) are printed as '
                   '"<OUT OF SPEC>" by dmidecode; we give the standard\'s name.',
}

# ---- Code texts: ours -> dmidecode's, per field, for the same code ----------------------

CODE_TEXTS = {
    "BoardType": {
        "Motherboard (includes processor, memory, and I/O)": "Motherboard",
        "Processor/Memory Module": "Processor+Memory Module",
        "Processor/IO Module": "Processor+I/O Module",
    },
    "ChassisType": {
        "SubChassis": "Sub Chassis",
        "Compact PCI": "CompactPCI",
        "Advanced TCA": "AdvancedTCA",
        "Blade Enclosure": "Blade Enclosing",
        "Multi-system chassis": "Multi-system",
    },
    "SecurityStatus": {},
    "ProcessorType": {},
    # The regular ones follow from family_words() below; these are the irregular ones.
    "ProcessorFamily": {
        "Intel386™ processor": "80386",
        "Intel486™ processor": "80486",
        "Pentium® processor with MMX™ technology": "Pentium MMX",
        "Pentium® III Processor with Intel® SpeedStep™ Technology": "Pentium III Speedstep",
        "Intel® Pentium® Processor Extreme Edition": "Pentium EE",
        "z/Architecture base": "z/Architecture",
        # 0xBE: the standard reserves the code; dmidecode names it after the firmware that
        # used it before, by the manufacturer string ("Core 2" for Intel, Precision 390).
        "Reserved [3]": ("Core 2", "K7", "Core 2 or K7"),
        "---> See ProcessorFamily2 field": None,  # dmidecode prints the 16-bit family
    },
    "ProcessorUpgrade": {
        "370-pin socket": "370-pin Socket",
        # 0x24: the standard's name; dmidecode 3.4 prints "BGA" (uroot-MSI-MS-7816).
        "Socket LGA1155": "Socket BGA1155",
    },
    "ErrorDetectingMethod": {},
    "SupportedInterleave": {
        "One-Way Interleave": "One-way Interleave",
        "Two-Way Interleave": "Two-way Interleave",
        "Four-Way Interleave": "Four-way Interleave",
        "Eight-Way Interleave": "Eight-way Interleave",
        "Sixteen-Way Interleave": "Sixteen-way Interleave",
    },
    "ErrorCorrectionType": {},
    "SystemCacheType": {},
    "Associativity": {},
    "ConnectorType": {
        "DB-25 pin male": "DB-25 male",
        "DB-25 pin female": "DB-25 female",
        "DB-15 pin male": "DB-15 male",
        "DB-15 pin female": "DB-15 female",
        "DB-9 pin male": "DB-9 male",
        "DB-9 pin female": "DB-9 female",
        "50-pin MiniSCSI": "50 Pin MiniSCSI",
        "Mini-DIN": "Mini DIN",
        "Micro-DIN": "Micro DIN",
        "9-pin Dual Inline (pin 10 cut)": "9 Pin Dual Inline (pin 10 cut)",
        "25-pin Dual Inline (pin 26 cut)": "25 Pin Dual Inline (pin 26 cut)",
        "50-pin Dual Inline": "50 Pin Dual Inline",
        "68-pin Dual Inline": "68 Pin Dual Inline",
        "Mini-jack (headphones)": "Mini Jack (headphones)",
        "Mini-Centronics Type-14": "Mini Centronics Type-14",
        "Mini-Centronics Type-26": "Mini Centronics Type-26",
        "1394": "IEEE 1394",
        "PC-98Hireso": "PC-98 Hireso",
        "PC-98Note": "PC-98 Note",
        "PC-98Full": "PC-98 Full",
        "Other – Use Reference Designator Strings to supply information.": "Other",
    },
    "PortType": {
        "FireWire (IEEE P1394)": "Firewire (IEEE P1394)",
        "PCMCIA Type I2": "PCMCIA Type I",
        "Joy Stick Port": "Joystick Port",
        "PC-98-Hireso": "PC-98 Hireso",
    },
    "SlotType": {
        "PCI – 66MHz Capable": "PCI-66",
        "VL-VESA": "VLB",
        "PCI Express (see below)": "PCI Express",
        "PCI Express Gen 2 (see below)": "PCI Express 2",
        "PCI Express Gen 3 (see below)": "PCI Express 3",
        "PCI Express Gen 4 (see below)": "PCI Express 4",
        "PCI Express Gen 5 (see below)": "PCI Express 5",
        "PCI Express Gen 3 SFF-8639": "PCI Express 3 SFF-8639 (U.2)",
        "PCI Express Gen 4 SFF-8639": "PCI Express 4 SFF-8639 (U.2)",
        "PCI Express Gen 2 SFF-8639": "PCI Express 2 SFF-8639 (U.2)",
        "Processor Card Slot": "Processor Card",
        "Proprietary Memory Card Slot": "Proprietary Memory Card",
        "I/O Riser Card Slot": "I/O Riser Card",
        "M.2 Socket 1-DP (Mechanical Key A)": "M.2 Socket 1-DP",
        "M.2 Socket 1-SD (Mechanical Key E)": "M.2 Socket 1-SD",
        "M.2 Socket 2 (Mechanical Key B)": "M.2 Socket 2",
        "M.2 Socket 3 (Mechanical Key M)": "M.2 Socket 3",
        "MXM Type III (standard connector)": "MXM Type III",
        "MXM Type III (HE connector)": "MXM Type III-HE",
        "PCI Express Gen 5 SFF-8639": "PCI Express 5 SFF-8639 (U.2)",
        "PCI Express Gen 6 and Beyond": "PCI Express 6+",
        "Enterprise and Datacenter 1U E1 Form Factor Slot (EDSFF E1.S, E1.L)": "EDSFF E1",
        "Enterprise and Datacenter 3\" E3 Form Factor Slot (EDSFF E3.S, E3.L)": "EDSFF E3",
    },
    "CurrentUsage": {},
    "SlotLength": {
        "Short Length": "Short",
        "Long Length": "Long",
    },
    "OnBoardDeviceType": {},
    "FormFactor": {},
    "MemoryType": {},
    "DeviceChemistry": {
        "Nickel CadmiumP": "Nickel Cadmium",
        "Lithium-ion": "Lithium Ion",
        "Lithium Polymer": "Lithium Polymer",
    },
    "CoolingType": {},
    "ProbeLocation": {},
    "ManagementDeviceType": {
        "National Semiconductor LM75": "LM75",
        "National Semiconductor LM78": "LM78",
        "National Semiconductor LM79": "LM79",
        "National Semiconductor LM80": "LM80",
        "National Semiconductor LM81": "LM81",
        "Analog Devices ADM9240": "ADM9240",
        "Dallas Semiconductor DS1780": "DS1780",
        "Maxim 1617": "MAX1617",
        "Genesys GL518SM": "GL518SM",
        "Winbond W83781D": "W83781D",
        "Holtek HT82H791": "HT82H791",
    },
    "ManagementDeviceAddressType": {"SM Bus": "SMBus"},
    "WakeupType": {},
    "PowerSupplyRange": {"Not applicable": "N/A"},
    "PowerSupplyStatus": {"non-critical": "Non-critical"},
    "PowerSupplyType": {},
}

# Wording rules that hold for a whole table, tried after CODE_TEXTS: dmidecode names the PCI
# Express generations without "Gen" ("PCI Express Gen 3 x16" is "PCI Express 3 x16").
def family_words(text):
    """Our processor family text in dmidecode's words: no trade marks, makers, notes or
    "processor" ("Dual-Core Intel® Xeon® processor 5100 Series" is "Dual-Core Xeon 5100")."""
    text = re.sub(r"™|®|\(TM\)|\(R\)|\s\[\d\]", "", text)
    text = re.sub(r"^(Intel|AMD|VIA|RISC-V)\s+", "", text)
    text = re.sub(r"\s(Intel|AMD)\s", " ", text)
    text = re.sub(r"\s+(processor|Processor|Processor Family|Family|Series Processor|Series APU|"
                  r"Series|Mobile Technology)$", "", text)
    text = re.sub(r"\s+(processor|Processor)(?=\s)", "", text)
    return re.sub(r"(X\d|FX) (Dual|Quad)-Core", r"\1", text)


CODE_TRANSFORMS = {
    "ProcessorFamily": family_words,
    "SlotType": lambda text: re.sub(r"^PCI Express Gen (\d)", r"PCI Express \1",
                                    text.replace(" (see below)", "")),
}

# Codes that the standard added after the SMBIOS 3.0 era (DDR5, new sockets and slots...):
# the summary lists those met in the real tables, each compared like any other code.
NEWER_CODES = {
    "MemoryType": r"Logical non-volatile device|HBM2?|HBM3|DDR5|LPDDR5|MRDIMM",
    "FormFactor": r"Die|CAMM|CUDIMM|CSODIMM",
    "ProcessorUpgrade": r"Socket (AM4|AM5|SP3|SP3r2|SP5|SP6|LGA1151|LGA1200|LGA1211|LGA1700|"
                        r"LGA1851|LGA2066|LGA2422|LGA3647-1|LGA4189|LGA4677|LGA4710|LGA5773|"
                        r"LGA7529|BGA883|BGA1190|BGA1211|BGA1356|BGA1392|BGA1440|BGA1510|"
                        r"BGA1515|BGA1528|BGA1744|BGA1781|BGA1792|BGA1964|BGA2049|BGA2114|"
                        r"BGA2422|BGA2551|BGA2833|BGA4129|BGA5773)",
    "SlotType": r"PCI Express Gen 2 x(2|4|8|16)|PCI Express Gen 3 (x\d+|\(see below\))|"
                r"PCI Express Gen [4-6].*|PCI Express Mini.*|OCP NIC.*|CXL.*|Enterprise.*",
    "ChassisType": r"IoT Gateway|Embedded PC|Mini PC|Stick PC",
    "ConnectorType": r"USB Type-C Receptacle",
    "PortType": r"MFDP \(Multi-Function Display Port\)|Thunderbolt",
    "OnBoardDeviceType": r"Wireless LAN|Bluetooth|WWAN|eMMC|NVMe Controller|UFS Controller",
    "CurrentUsage": r"Unavailable",
}

# ---- Bit texts: ours -> dmidecode's line for the same bit; None: dmidecode never prints it

BIT_TEXTS = {
    "BIOSCharacteristics": {
        "Reserved": None,
        "Unknown": None,
        "BIOS Characteristics are not supported": "BIOS characteristics not supported",
        "ISA": "ISA is supported",
        "MCA": "MCA is supported",
        "EISA": "EISA is supported",
        "PCI": "PCI is supported",
        "PC card (PCMCIA)": "PC Card (PCMCIA) is supported",
        "Plug&Play": "PNP is supported",
        "APM": "APM is supported",
        "upgradeable (Flash)": "BIOS is upgradeable",
        "shadowing": "BIOS shadowing is allowed",
        "VL-VESA": "VLB is supported",
        "ESCD support": "ESCD support is available",
        "Boot from CD": "Boot from CD is supported",
        "Selectable boot": "Selectable boot is supported",
        "ROM is socketed": "BIOS ROM is socketed",
        "Boot from PC card (PCMCIA)": "Boot from PC Card (PCMCIA) is supported",
        "EDD specification": "EDD is supported",
        "Int 13h — Japanese floppy for NEC 9800 1.2 MB (3.5”, 1K bytes/sector, 360 RPM)":
            "Japanese floppy for NEC 9800 1.2 MB is supported (int 13h)",
        "Int 13h — Japanese floppy for Toshiba 1.2 MB (3.5”, 360 RPM)":
            "Japanese floppy for Toshiba 1.2 MB is supported (int 13h)",
        "Int 13h — 5.25” / 360 KB floppy services":
            "5.25\"/360 kB floppy services are supported (int 13h)",
        "Int 13h — 5.25” /1.2 MB floppy services":
            "5.25\"/1.2 MB floppy services are supported (int 13h)",
        "Int 13h — 3.5” / 720 KB floppy services":
            "3.5\"/720 kB floppy services are supported (int 13h)",
        "Int 13h — 3.5” / 2.88 MB floppy services":
            "3.5\"/2.88 MB floppy services are supported (int 13h)",
        "Int 5h, print screen Service": "Print screen service is supported (int 5h)",
        "Int 9h, 8042 keyboard services": "8042 keyboard services are supported (int 9h)",
        "Int 14h, serial services": "Serial services are supported (int 14h)",
        "Int 17h, printer services": "Printer services are supported (int 17h)",
        "Int 10h, CGA/Mono Video Services": "CGA/mono video services are supported (int 10h)",
        "NEC PC-98": "NEC PC-98",
    },
    "FeatureFlags": {
        "Hosting board": "Board is a hosting board",
        "Daugther or aux board required": "Board requires at least one daughter board",
        "removable": "Board is removable",
        "replaceable": "Board is replaceable",
        "hot swappable": "Board is hot swappable",
    },
    "ProcessorCharacteristics": {
        "Unknown": None,
        "64-bit Capable": "64-bit capable",
        "Multi-Core": "Multi-Core",
        "Hardware Thread": "Hardware Thread",
        "Execute Protection": "Execute Protection",
        "Enhanced Virtualization": "Enhanced Virtualization",
        "Power/Performance Control": "Power/Performance Control",
        "128-bit Capable": "128-bit Capable",
        "Arm64 SoC ID": "Arm64 SoC ID",
    },
    "ErrorCorrecting": {
        "Other": "Other",
        "Unknown": "Unknown",
        "None": "None",
        "Single-Bit Error Correcting": "Single-bit Error Correcting",
        "Double-Bit Error Correcting": "Double-bit Error Correcting",
        "Error Scrubbing": "Error Scrubbing",
    },
    "SupportedSpeeds": {
        "Other": "Other",
        "Unknown": "Unknown",
        "70ns": "70 ns",
        "60ns": "60 ns",
        "50ns": "50 ns",
    },
    "MemoryModuleTypes": {
        "Other": "Other",
        "Unknown": "Unknown",
        "Standard": "Standard",
        "Fast Page Mode": "FPM",
        "EDO": "EDO",
        "Parity": "Parity",
        "ECC": "ECC",
        "SIMM": "SIMM",
        "DIMM": "DIMM",
        "Burst EDO": "Burst EDO",
        "SDRAM": "SDRAM",
    },
    "SramTypes": {
        "Other": "Other",
        "Unknown": "Unknown",
        "Non-Burst": "Non-burst",
        "Burst": "Burst",
        "Pipeline Burst": "Pipeline Burst",
        "Synchronous": "Synchronous",
        "Asynchronous": "Asynchronous",
    },
    "TypeDetail": {
        "Reserved (set to 0)": None,
        "Other": "Other",
        "Unknown": "Unknown",
        "Fast-paged": "Fast-paged",
        "Static column": "Static Column",
        "Pseudo-static": "Pseudo-static",
        "RAMBUS": "RAMBus",
        "Synchronous": "Synchronous",
        "CMOS": "CMOS",
        "EDO": "EDO",
        "Window DRAM": "Window DRAM",
        "Cache DRAM": "Cache DRAM",
        "Non-volatile": "Non-Volatile",
        "Registered (Buffered)": "Registered (Buffered)",
        "Unbuffered (Unregistered)": "Unbuffered (Unregistered)",
        "LRDIMM": "LRDIMM",
    },
}

# The bits of the first BIOS characteristics extension byte, as dmidecode prints them.
BIOS_EXT1_BITS = [
    "ACPI is supported", "USB legacy is supported", "AGP is supported",
    "I2O boot is supported", "LS-120 boot is supported", "ATAPI Zip drive boot is supported",
    "IEEE 1394 boot is supported", "Smart battery is supported",
]
BIOS_EXT2_BITS = [
    "BIOS boot specification is supported", "Function key-initiated network boot is supported",
    "Targeted content distribution is supported", "UEFI is supported",
    "System is a virtual machine", "Manufacturing mode is supported",
    "Manufacturing mode is enabled",
]

OUT_OF_SPEC = "<OUT OF SPEC>"
# Our texts for codes the standard leaves unassigned: a table's default, the family table's
# unassigned ranges, the processor status codes 5 and 6, code 0 where our tables name it, and
# the family byte's pointer 0xFE met as a 16-bit family.
UNASSIGNED_TEXTS = {"Unknown", "", "Available for assignment", "Reserved", "None",
                    "---> See ProcessorFamily2 field"}
# Bits that dmidecode 3.4 predates: it leaves them out of its lists.
PEER_PREDATES_BITS = {"ProcessorCharacteristics": {"Arm64 SoC ID"}}


# ---- Reading the table here: the handle of every structure, in table order ---------------

def table_bytes(path):
    data = open(path, "rb").read()

    def little(offset, width):
        return int.from_bytes(data[offset:offset + width], "little")

    if data.startswith(b"_SM3_"):
        address, length = little(0x10, 8), little(0x0C, 4)
    elif data.startswith(b"_SM_"):
        address, length = little(0x18, 4), little(0x16, 2)
    elif data.startswith(b"_DMI_"):
        address, length = little(0x08, 4), little(0x06, 2)
    else:
        return data
    return data[address:address + length]


def walk_table(table):
    """(type, handle, length, formatted bytes) of every whole structure, as the walker sees
    them: a structure cut off by the end of the table or with Length below 4 ends the walk."""
    structures = []
    offset = 0
    while len(table) - offset >= 4:
        length = table[offset + 1]
        if length < 4 or length > len(table) - offset:
            break
        area = table.find(b"\0\0", offset + length) if table[offset + length:offset + length + 1] != b"\0" \
            else (offset + length if len(table) - offset - length >= 2 else -1)
        if area < 0:
            break
        structures.append((table[offset], int.from_bytes(table[offset + 2:offset + 4], "little"),
                           length, table[offset:offset + length]))
        offset = area + 2
    return structures


# ---- dmidecode's text ------------------------------------------------------------------

class DmiRecord:
    def __init__(self, handle, type_, length):
        self.handle, self.type, self.length = handle, type_, length
        self.blocks = []  # [(title, {key: (value, [items])})]

    def fields(self, block=0):
        return self.blocks[block][1] if len(self.blocks) > block else {}


def parse_dmidecode(text):
    records, version = [], None
    record, fields, last_key = None, None, None
    for line in text.split("\n"):
        m = re.match(r"SMBIOS (\d+)\.(\d+)(?:\.\d+)? present", line)
        if m:
            version = (int(m.group(1)), int(m.group(2)))
        m = re.match(r"Handle 0x([0-9A-F]{4}), DMI type (\d+), (\d+) bytes", line)
        if m:
            record = DmiRecord(int(m.group(1), 16), int(m.group(2)), int(m.group(3)))
            records.append(record)
            fields = None
            continue
        if record is None or line == "":
            continue
        if line.startswith("\t\t"):
            if fields is not None and last_key is not None:
                fields[last_key][1].append(line[2:])
        elif line.startswith("\t"):
            key, sep, value = line[1:].partition(":")
            if fields is None:
                continue
            last_key = key
            fields[key] = (value[1:] if value.startswith(" ") else value, [])
        else:
            fields = {}
            record.blocks.append((line, fields))
            last_key = None
    return version, records


# ---- Our report --------------------------------------------------------------------------

NODE = re.compile(r"SMBIOS_Type_(\d+)_")


def parse_report(xml_text):
    """type -> list of attribute dicts, index order (i0 first)."""
    root = ET.fromstring(xml_text)
    objects = defaultdict(dict)
    for node in root:
        m = NODE.match(node.tag)
        if not m:
            continue
        for obj in node:
            attrs = {}
            for name, value in obj.attrib.items():
                if name.startswith("{"):
                    name = COUNT_NAMESPACE_PREFIX + ":" + name.split("}", 1)[1]
                attrs[name] = value
            objects[int(m.group(1))][int(obj.tag[1:])] = attrs
    return {t: [objs[i] for i in sorted(objs)] for t, objs in objects.items()}


def check_xml(path, xml_text, problems):
    result = subprocess.run(["xmllint", "--noout", "-"], input=xml_text.encode("utf-8"),
                            capture_output=True)
    if result.returncode != 0:
        problems.append(f"{path}: xmllint: {result.stderr.decode(errors='replace').strip()}")
    try:
        root = ET.fromstring(xml_text)
        dom = xml.dom.minidom.parseString(xml_text.encode("utf-8"))
    except Exception as error:  # noqa: BLE001 - any parser error is the finding
        problems.append(f"{path}: namespace-aware parser: {error}")
        return
    if root.tag != "HWInfo":
        problems.append(f"{path}: root is {root.tag}")
    # A type 11 count must be bound to the namespace the root declares for "Count".
    for node in dom.getElementsByTagName("*"):
        for i in range(node.attributes.length):
            attribute = node.attributes.item(i)
            if attribute.prefix == COUNT_NAMESPACE_PREFIX and not attribute.namespaceURI:
                problems.append(f"{path}: {attribute.name} has no namespace")


# ---- Comparing ---------------------------------------------------------------------------

def strip_value(attr, unit=""):
    """The value text of one report attribute: value + " " + unit."""
    suffix = " " + unit
    if attr.endswith(suffix):
        return attr[: len(attr) - len(suffix)]
    return None  # the unit is not the one the field must carry


def fold(text):
    return re.sub(r"\s+", " ", text.replace("™", "").replace("®", "").replace("(TM)", "")
                  .replace("(R)", "")).strip().casefold()


def dmi_string(text):
    """Our string as dmidecode prints it: control bytes become "."."""
    return "".join("." if ord(c) < 0x20 or ord(c) == 0x7F else c for c in text)


class Comparison:
    def __init__(self, verbose=False, trace=False):
        self.verbose = verbose
        self.trace = trace
        self.fields = 0
        self.exact = 0
        self.structures = 0
        self.tables = 0
        self.rules = Counter()
        self.rule_examples = {}
        self.mismatches = []
        self.out_of_spec = []
        self.newer = Counter()
        self.context = ""

    def agree(self, field, ours, theirs, rule=None):
        if self.trace:
            print(f"  {self.context} {field}: {ours!r} ~ {theirs!r} [{rule or 'equal'}]")
        self.fields += 1
        if rule is None:
            self.exact += 1
        else:
            self.rules[rule] += 1
            self.rule_examples.setdefault(rule, f"{self.context} {field}: {ours!r} ~ {theirs!r}")

    def differ(self, field, ours, theirs, why=""):
        self.fields += 1
        self.mismatches.append(f"{self.context} {field}: ours {ours!r}, dmidecode {theirs!r}"
                               + (f" ({why})" if why else ""))

    # -- the kinds of fields

    def string(self, field, ours, dmi, key):
        theirs = dmi_value(dmi, key)
        if ours is None and theirs is None:
            return
        if ours is None or theirs is None:
            return self.presence(field, ours, theirs)
        ours = strip_value(ours)
        if dmi_string(ours) == theirs:
            return self.agree(field, ours, theirs, None if ours == theirs else "control-bytes")
        if ours == "" and theirs in ("Not Specified", "<BAD INDEX>"):
            return self.agree(field, ours, theirs, "string-zero")
        self.differ(field, ours, theirs)

    def presence(self, field, ours, theirs):
        self.differ(field, ours, theirs, "only one side reports it")

    def number(self, field, ours_value, theirs_value, rule=None):
        """Both already parsed to numbers (or None when unparseable)."""
        if ours_value is not None and ours_value == theirs_value:
            return self.agree(field, ours_value, theirs_value, rule)
        self.differ(field, ours_value, theirs_value)

    def code(self, field, table, ours, theirs):
        if table in NEWER_CODES and re.fullmatch(NEWER_CODES[table], ours):
            self.newer[(field, ours, theirs)] += 1
        if theirs == OUT_OF_SPEC:
            if ours in UNASSIGNED_TEXTS:
                # Neither knows the code: ours gives the table's default, dmidecode its mark.
                return self.agree(field, ours, theirs, "unassigned-code")
            self.out_of_spec.append(f"{self.context} {field}: {ours!r}")
            return self.agree(field, ours, theirs, "peer-predates-code")
        if ours == theirs:
            return self.agree(field, ours, theirs)
        if fold(ours) == fold(theirs):
            return self.agree(field, ours, theirs, "code-texts")
        mapped = CODE_TEXTS[table].get(ours)
        if mapped is not None and theirs in (mapped if isinstance(mapped, tuple) else (mapped,)):
            return self.agree(field, ours, theirs, "code-texts")
        transform = CODE_TRANSFORMS.get(table)
        if transform is not None and fold(transform(ours)) == fold(theirs):
            return self.agree(field, ours, theirs, "code-texts")
        self.differ(field, ours, theirs, f"no correspondence in CODE_TEXTS[{table!r}]")

    def bits(self, field, table, ours, theirs_items, extra_expected=(), extra_ignored=()):
        """ours: our bit-list text; theirs_items: dmidecode's lines."""
        items = split_bit_list(ours, BIT_TEXTS[table])
        if items is None:
            return self.differ(field, ours, theirs_items, f"not a list of BIT_TEXTS[{table!r}]")
        expected, dropped = set(extra_expected), False
        for item in items:
            if item in PEER_PREDATES_BITS.get(table, ()):
                self.out_of_spec.append(f"{self.context} {field}: {item!r} (left out)")
                continue
            mapped = BIT_TEXTS[table][item]
            if mapped is None:
                dropped = True
            else:
                expected.add(mapped)
        theirs = set(theirs_items) - set(extra_ignored)
        if theirs == {"None"} and table == "ProcessorCharacteristics":
            # dmidecode says "None" when none of bits 2-7 is set, and then lists nothing.
            if expected <= {"128-bit Capable"} and expected:
                return self.agree(field, ours, theirs_items, "dmidecode-omits")
        if theirs == {"None"} and not expected:
            theirs = set()
        if expected == theirs:
            return self.agree(field, ours, theirs_items,
                              "unknown-bits" if dropped else "bit-list-form")
        self.differ(field, ours, sorted(theirs), f"expected {sorted(expected)}")


def split_bit_list(text, table):
    """Our bit-list text split into its items (texts may hold ", " themselves), or None when
    it is not a sequence of the table's items each followed by ", "."""
    items, rest = [], text or ""
    known = sorted(table, key=len, reverse=True)
    while rest:
        for item in known:
            if rest.startswith(item + ", "):
                items.append(item)
                rest = rest[len(item) + 2:]
                break
        else:
            return None
    return items


def dmi_value(dmi, key):
    entry = dmi.get(key)
    return None if entry is None else entry[0]


def dmi_items(dmi, key):
    entry = dmi.get(key)
    if entry is None:
        return None
    if entry[0] and entry[0] != "":
        return [entry[0]] if not entry[1] else entry[1]
    return entry[1]


SIZE_UNITS = {"bytes": 1 / 1024, "kB": 1, "MB": 1024, "GB": 1024 ** 2, "TB": 1024 ** 3}


def size_kb(text):
    m = re.fullmatch(r"(\d+) (bytes|kB|MB|GB|TB)", text or "")
    return int(m.group(1)) * SIZE_UNITS[m.group(2)] if m else None


def our_int(text):
    return int(text) if text is not None and re.fullmatch(r"-?\d+", text) else None


def dmi_hex(text):
    return int(text, 16) if text is not None and re.fullmatch(r"0x[0-9A-Fa-f]+", text) else None


# ---- Per-type comparisons --------------------------------------------------------------

def v(ours, name, unit=""):
    attr = ours.get(name)
    return None if attr is None else strip_value(attr, unit)


def word_values(words, word):
    """The values a dmidecode word may stand for: one value or a tuple of them."""
    values = words[word]
    return values if isinstance(values, tuple) else (values,)


def compare_handle(c, field, ours, dmi, key, words=None, omit=()):
    """words: {dmidecode word: the handle value(s) it stands for}; omit: our values for
    which dmidecode leaves the line out."""
    value, theirs = our_int(v(ours, field)), dmi_value(dmi, key)
    if value is None and theirs is None:
        return
    if theirs is None and value in omit:
        return c.agree(field, value, theirs, "dmidecode-omits")
    if value is None or theirs is None:
        return c.presence(field, value, theirs)
    if words and theirs in words:
        if value in word_values(words, theirs):
            return c.agree(field, value, theirs, "no-sentinel-words")
        return c.differ(field, value, theirs)
    c.number(field, value, dmi_hex(theirs), "handle-decimal")


def compare_plain_number(c, field, ours, dmi, key, unit="", their_unit="", words=None, omit=()):
    value, theirs = our_int(v(ours, field, unit)), dmi_value(dmi, key)
    if value is None and theirs is None:
        return
    if theirs is None and value in omit:
        return c.agree(field, value, theirs, "dmidecode-omits")
    if value is None or theirs is None:
        return c.presence(field, value, theirs)
    if words and theirs in words:
        if value in word_values(words, theirs):
            return c.agree(field, value, theirs, "no-sentinel-words")
        return c.differ(field, value, theirs)
    suffix = (" " + their_unit) if their_unit else ""
    if suffix and theirs.endswith(suffix):
        theirs = theirs[: -len(suffix)]
    c.number(field, value, our_int(theirs), "units" if unit != their_unit else None)


def type0(c, ours, dmi, rec):
    c.string("Vendor", ours.get("Vendor"), dmi, "Vendor")
    c.string("Version", ours.get("Version"), dmi, "Version")
    segment = dmi_hex(v(ours, "StartingSegment"))
    address = dmi_value(dmi, "Address")
    if segment is not None:
        if address is None:
            # dmidecode leaves the address out for segment 0.
            c.number("StartingSegment", segment, 0, "no-sentinel-words")
        else:
            c.number("StartingSegment", segment << 4, dmi_hex(address), "units")
    c.string("ReleaseDate", ours.get("ReleaseDate"), dmi, "Release Date")
    rom = our_int(v(ours, "ROMSize", "kB"))
    if rom is not None:
        code = rec.raw[0x09]
        extended = int.from_bytes(rec.raw[0x18:0x1A], "little") if rec.length >= 0x1A else 0
        if code == 0xFF and rec.length >= 0x1A and not (extended & 0x3FFF and extended >> 14 <= 1):
            # The extended size word is empty (or in a unit beyond GB): we keep the code's own
            # 16 MB, dmidecode prints the word ("0 MB").
            (c.agree if rom == 16384 else c.differ)("ROMSize", rom, dmi_value(dmi, "ROM Size"),
                                                    "rom-extended")
        else:
            c.number("ROMSize", rom, size_kb(dmi_value(dmi, "ROM Size")), "units")
    characteristics = v(ours, "Characteristics")
    if characteristics is not None:
        theirs = dmi_items(dmi, "Characteristics") or []
        ext1 = dmi_hex(v(ours, "Characteristics_extension"))
        if "BIOS characteristics not supported" in theirs:
            # dmidecode stops at bit 3: nothing else of the list is printed.
            mine = [i for i in characteristics.split(", ") if i]
            if "BIOS Characteristics are not supported" in mine:
                c.agree("Characteristics", characteristics, theirs, "unknown-bits")
            else:
                c.differ("Characteristics", characteristics, theirs)
        else:
            expected_ext = [BIOS_EXT1_BITS[b] for b in range(8)
                            if ext1 is not None and ext1 >> b & 1]
            c.bits("Characteristics", "BIOSCharacteristics", characteristics, theirs,
                   extra_expected=expected_ext, extra_ignored=BIOS_EXT2_BITS)
            ext2 = [item for item in theirs if item in BIOS_EXT2_BITS]
            if ext2:
                c.rules["bios-ext2"] += 1
                c.rule_examples.setdefault("bios-ext2", f"{c.context} (no field) ~ {ext2}")
    for field, key in (("Release", "BIOS Revision"), ("EmbeddedFirmwareRelease", "Firmware Revision")):
        ours_release = v(ours, field)
        theirs = dmi_value(dmi, key)
        if ours_release is None:
            if theirs is not None:
                c.presence(field, None, theirs)
            continue
        if theirs is None:
            major, minor = (int(x) for x in ours_release.split("."))
            if major == 255 or minor == 255:
                c.agree(field, ours_release, None, "release-ff")
            else:
                c.presence(field, ours_release, None)
        elif ours_release == theirs:
            c.agree(field, ours_release, theirs)
        else:
            c.differ(field, ours_release, theirs)


def uuid_text(raw, version):
    if all(b == 0xFF for b in raw):
        return "Not Present"
    if all(b == 0 for b in raw):
        return "Not Settable"
    if version >= (2, 6):
        raw = bytes([raw[3], raw[2], raw[1], raw[0], raw[5], raw[4], raw[7], raw[6]]) + raw[8:]
    h = raw.hex().upper()
    return f"{h[0:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:32]}"


def type1(c, ours, dmi, rec):
    for field, key in (("Manufacturer", "Manufacturer"), ("ProductName", "Product Name"),
                       ("Version", "Version"), ("SerialNumber", "Serial Number")):
        c.string(field, ours.get(field), dmi, key)
    uuid = v(ours, "UUID")
    if uuid is not None:
        raw = bytes.fromhex(uuid[2:].replace(" ", ""))
        theirs = dmi_value(dmi, "UUID")
        expected = uuid_text(raw, c.version)
        if theirs is not None and expected.casefold() == theirs.casefold():
            c.agree("UUID", uuid, theirs, "raw-composite")
        else:
            c.differ("UUID", uuid, theirs, f"expected {expected}")
    if v(ours, "WakeupType") is not None:
        c.code("WakeupType", "WakeupType", v(ours, "WakeupType"), dmi_value(dmi, "Wake-up Type"))
    c.string("SKUNumber", ours.get("SKUNumber"), dmi, "SKU Number")
    c.string("Family", ours.get("Family"), dmi, "Family")


def type2(c, ours, dmi, rec):
    for field, key in (("Manufacturer", "Manufacturer"), ("ProductName", "Product Name"),
                       ("Version", "Version"), ("SerialNumber", "Serial Number"),
                       ("AssetTag", "Asset Tag")):
        c.string(field, ours.get(field), dmi, key)
    if v(ours, "FeatureFlags") is not None:
        c.bits("FeatureFlags", "FeatureFlags", v(ours, "FeatureFlags"),
               dmi_items(dmi, "Features") or [])
    c.string("LocationInChassis", ours.get("LocationInChassis"), dmi, "Location In Chassis")
    compare_handle(c, "ChassisHandle", ours, dmi, "Chassis Handle")
    if v(ours, "BoardType") is not None:
        c.code("BoardType", "BoardType", v(ours, "BoardType"), dmi_value(dmi, "Type"))
    count = our_int(v(ours, "NoOfContainedObjectHandles"))
    if count is not None:
        entry = dmi.get("Contained Object Handles")
        c.number("NoOfContainedObjectHandles", count, our_int(entry[0]) if entry else None)
        handles = [our_int(v(ours, f"ContainedObjectHandle_{i}_")) for i in range(count)]
        theirs = [dmi_hex(h) for h in entry[1]] if entry else []
        c.number("ContainedObjectHandle[]", handles, theirs, "handle-decimal")


def type3(c, ours, dmi, rec):
    c.string("Manufacturer", ours.get("Manufacturer"), dmi, "Manufacturer")
    chassis = v(ours, "ChassisType")
    if chassis is not None:
        locked = chassis.endswith(" (chassis lock present)")
        base = chassis[: -len(" (chassis lock present)")] if locked else chassis
        c.code("ChassisType", "ChassisType", base, dmi_value(dmi, "Type"))
        lock = dmi_value(dmi, "Lock")
        if lock == ("Present" if locked else "Not Present"):
            c.agree("ChassisType lock", locked, lock, "raw-composite")
        else:
            c.differ("ChassisType lock", locked, lock)
    for field, key in (("Version", "Version"), ("SerialNumber", "Serial Number"),
                       ("AssetTag", "Asset Tag")):
        c.string(field, ours.get(field), dmi, key)
    for field, key in (("BootupState", "Boot-up State"), ("PowerSupplyState", "Power Supply State"),
                       ("ThermalState", "Thermal State"), ("SecurityStatus", "Security Status")):
        if v(ours, field) is not None:
            c.code(field, "SecurityStatus", v(ours, field), dmi_value(dmi, key))
    oem = v(ours, "OEMdefined")
    if oem is not None:
        c.number("OEMdefined", dmi_hex(oem), dmi_hex(dmi_value(dmi, "OEM Information")))
    height = our_int(v(ours, "Height", 'x1,75"'))
    if height is not None:
        theirs = dmi_value(dmi, "Height")
        if theirs == "Unspecified":
            c.number("Height", height, 0, "no-sentinel-words")
        else:
            c.number("Height", height, our_int((theirs or "").removesuffix(" U")), "units")
    compare_plain_number(c, "NumberOfPowerCords", ours, dmi, "Number Of Power Cords",
                         words={"Unspecified": 0})
    count = our_int(v(ours, "ContainedElementCount"))
    if count is not None:
        entry = dmi.get("Contained Elements")
        if entry is None and rec.length <= 0x14:
            # dmidecode shows the elements only when their record length byte is there too.
            c.agree("ContainedElementCount", count, None, "dmidecode-omits")
        else:
            c.number("ContainedElementCount", count, our_int(entry[0]) if entry else None)
            # The records themselves: ours raw bytes, dmidecode's decoded; compare the bytes
            # with the structure's and the number of records with dmidecode's lines.
            size = our_int(v(ours, "ContainedElementRecordLength")) or 0
            records = [v(ours, f"ContainedElements_{i}_") for i in range(count)]
            expected = [rec.raw[0x15 + i * size:0x15 + (i + 1) * size].hex(" ").upper() + " "
                        if size else "" for i in range(count)]
            if records == expected and entry is not None and len(entry[1]) == count:
                c.agree("ContainedElements[]", records, entry[1], "raw-composite")
            else:
                c.differ("ContainedElements[]", records, entry[1] if entry else None,
                         f"expected {expected}")
    c.string("SKUNumber", ours.get("SKUNumber"), dmi, "SKU Number")


def processor_voltage(ours_text):
    """Our voltage text -> dmidecode's."""
    if ours_text.startswith("Current voltage="):
        number = ours_text[len("Current voltage="):-1].replace(",", ".")
        return f"{float(number):.1f} V"
    items = [i for i in ours_text[len("Supported Voltages="):].split(", ") if i]
    if not items:
        return "Unknown"
    return " ".join({"5V": "5.0 V", "3.3V": "3.3 V", "2.9V": "2.9 V"}[i] for i in items)


def type4(c, ours, dmi, rec):
    c.string("SocketDesignation", ours.get("SocketDesignation"), dmi, "Socket Designation")
    if v(ours, "ProcessorType") is not None:
        c.code("ProcessorType", "ProcessorType", v(ours, "ProcessorType"), dmi_value(dmi, "Type"))
    family = v(ours, "ProcessorFamily")
    if family is not None:
        family2 = v(ours, "ProcessorFamily2")
        theirs = dmi_value(dmi, "Family")
        if family == "---> See ProcessorFamily2 field" and family2 is not None:
            c.code("ProcessorFamily2", "ProcessorFamily", family2, theirs)
        else:
            c.code("ProcessorFamily", "ProcessorFamily", family, theirs)
    c.string("ProcessorManufacturer", ours.get("ProcessorManufacturer"), dmi, "Manufacturer")
    pid = v(ours, "ProcessorID")
    if pid is not None:
        theirs = dmi_value(dmi, "ID")
        if pid.startswith("0x") and pid[2:].rstrip() == theirs:
            c.agree("ProcessorID", pid, theirs, "raw-composite")
        else:
            c.differ("ProcessorID", pid, theirs)
    c.string("ProcessorVersion", ours.get("ProcessorVersion"), dmi, "Version")
    voltage = v(ours, "Voltage")
    if voltage is not None:
        theirs, expected = dmi_value(dmi, "Voltage"), processor_voltage(voltage)
        if theirs == expected:
            c.agree("Voltage", voltage, theirs, "units")
        else:
            c.differ("Voltage", voltage, theirs, f"expected {expected!r}")
    for field, key in (("ExternalClock", "External Clock"), ("MaxSpeed", "Max Speed"),
                       ("CurrentSpeed", "Current Speed")):
        compare_plain_number(c, field, ours, dmi, key, "MHz", "MHz", words={"Unknown": 0})
    status = v(ours, "Status")
    if status is not None:
        populated, _, cpu = status.partition(", CPU Status=")
        theirs = dmi_value(dmi, "Status")
        cpu_words = {"Unknown": "Unknown", "CPU Enabled": "Enabled",
                     "CPU Disabled by User through BIOS Setup": "Disabled By User",
                     "CPU Disabled By BIOS (POST Error)": "Disabled By BIOS",
                     "CPU is Idle, waiting to be enabled.": "Idle", "Other": "Other",
                     "Reserved": OUT_OF_SPEC}
        expected = "Unpopulated" if populated == "Unpopulated" else f"Populated, {cpu_words.get(cpu)}"
        if theirs == expected:
            c.agree("Status", status, theirs, "raw-composite")
        else:
            c.differ("Status", status, theirs, f"expected {expected!r}")
    if v(ours, "ProcessorUpgrade") is not None:
        c.code("ProcessorUpgrade", "ProcessorUpgrade", v(ours, "ProcessorUpgrade"),
               dmi_value(dmi, "Upgrade"))
    for level in (1, 2, 3):
        field, key = f"L{level}CacheHandle", f"L{level} Cache Handle"
        compare_handle(c, field, ours, dmi, key,
                       words={"Not Provided": 0xFFFF, f"No L{level} Cache": 0xFFFF})
    c.string("SerialNumber", ours.get("SerialNumber"), dmi, "Serial Number")
    c.string("AssetTagNumber", ours.get("AssetTagNumber"), dmi, "Asset Tag")
    c.string("PartNumber", ours.get("PartNumber"), dmi, "Part Number")
    for field, key, wide in (("CoreCount", "Core Count", "CoreCount2"),
                             ("CoreEnabled", "Core Enabled", "CoreEnabled2"),
                             ("ThreadCount", "Thread Count", "ThreadCount2")):
        count = v(ours, field)
        if count is None:
            continue
        theirs = dmi_value(dmi, key)
        if count.startswith("-->") and v(ours, wide) is not None:
            c.number(wide, our_int(v(ours, wide)), our_int(theirs))
        elif theirs is None and our_int(count) == 0:
            c.agree(field, count, theirs, "no-sentinel-words")  # dmidecode leaves 0 out
        else:
            c.number(field, our_int(count), our_int(theirs))
    characteristics = v(ours, "ProcessorCharacteristics")
    if characteristics is not None:
        c.bits("ProcessorCharacteristics", "ProcessorCharacteristics", characteristics,
               dmi_items(dmi, "Characteristics") or [])


def type5(c, ours, dmi, rec):
    if v(ours, "ErrorDetectingMethod") is not None:
        c.code("ErrorDetectingMethod", "ErrorDetectingMethod", v(ours, "ErrorDetectingMethod"),
               dmi_value(dmi, "Error Detecting Method"))
    for field, key in (("ErrorCorrectingCapability", "Error Correcting Capabilities"),
                       ("EnabledErrorCorrectingCapabilities",
                        "Enabled Error Correcting Capabilities")):
        if v(ours, field) is not None:
            c.bits(field, "ErrorCorrecting", v(ours, field), dmi_items(dmi, key) or [])
    for field, key in (("SupportedInterleave", "Supported Interleave"),
                       ("CurrentInterleave", "Current Interleave")):
        if v(ours, field) is not None:
            c.code(field, "SupportedInterleave", v(ours, field), dmi_value(dmi, key))
    size = our_int(v(ours, "MaximumMemoryModuleSize", "MB"))
    if size is not None:
        c.number("MaximumMemoryModuleSize", size * 1024,
                 size_kb(dmi_value(dmi, "Maximum Memory Module Size")), "units")
    if v(ours, "SupportedSpeeds") is not None:
        c.bits("SupportedSpeeds", "SupportedSpeeds", v(ours, "SupportedSpeeds"),
               dmi_items(dmi, "Supported Speeds") or [])
    if v(ours, "SupportedMemoryTypes") is not None:
        c.bits("SupportedMemoryTypes", "MemoryModuleTypes", v(ours, "SupportedMemoryTypes"),
               dmi_items(dmi, "Supported Memory Types") or [])
    voltage = v(ours, "MemoryModuleVoltage")
    if voltage is not None:
        items = [i for i in voltage.split(", ") if i]
        expected = " ".join({"5V": "5.0 V", "3.3V": "3.3 V", "2.9V": "2.9 V"}[i] for i in items)
        theirs = dmi_value(dmi, "Memory Module Voltage")
        if theirs == (expected or "Unknown"):
            c.agree("MemoryModuleVoltage", voltage, theirs, "bit-list-form")
        else:
            c.differ("MemoryModuleVoltage", voltage, theirs)
    count = our_int(v(ours, "NumberOfAssociatedMemorySlots"))
    if count is not None:
        entry = dmi.get("Associated Memory Slots")
        c.number("NumberOfAssociatedMemorySlots", count, our_int(entry[0]) if entry else None)
        handles = [our_int(v(ours, f"MemoryModuleConfigurationHandle_{i}_")) for i in range(count)]
        theirs = [dmi_hex(h) for h in entry[1]] if entry else []
        c.number("MemoryModuleConfigurationHandle[]", handles, theirs, "handle-decimal")


def module_size(text):
    """Our type 6 size text -> dmidecode's."""
    value, _, banks = text.rpartition(", ")
    connection = "Double-bank" if banks == "double-banked" else "Single-bank"
    if value == "Not installed":
        return "Not Installed"
    if value == "Not determinable (Installed Size only)":
        return "Not Determinable"
    if value == "Module is installed, but no memory has been enabled":
        return "Disabled"
    return f"{value} ({connection} Connection)"


def type6(c, ours, dmi, rec):
    c.string("SocketDesignation", ours.get("SocketDesignation"), dmi, "Socket Designation")
    banks = dmi_hex(v(ours, "BankConnections"))
    if banks is not None:
        parts = [b for b in (banks >> 4, banks & 0x0F) if b != 0x0F]
        expected = " ".join(str(b) for b in parts) or "None"
        theirs = dmi_value(dmi, "Bank Connections")
        if theirs == expected:
            c.agree("BankConnections", banks, theirs, "raw-composite")
        else:
            c.differ("BankConnections", banks, theirs, f"expected {expected!r}")
    compare_plain_number(c, "CurrentSpeed", ours, dmi, "Current Speed", "ns", "ns",
                         words={"Unknown": 0})
    types = v(ours, "CurrentMemoryType")
    if types is not None:
        theirs = dmi_value(dmi, "Type")
        c.bits("CurrentMemoryType", "MemoryModuleTypes", types,
               [] if theirs == "None" else (theirs or "").split(" "))
    for field, key in (("InstalledSize", "Installed Size"), ("EnabledSize", "Enabled Size")):
        size = v(ours, field)
        if size is not None:
            theirs, expected = dmi_value(dmi, key), module_size(size)
            if theirs == expected:
                c.agree(field, size, theirs, "module-size-form")
            else:
                c.differ(field, size, theirs, f"expected {expected!r}")
    status = v(ours, "ErrorStatus")
    if status is not None:
        theirs = dmi_value(dmi, "Error Status")
        expected = {"": "OK", "See event log": "See Event Log"}.get(status)
        if expected is None:
            expected = " ".join(x for x in (
                "Correctable Errors" if "Correctable" in status else "",
                "Uncorrectable Errors" if "Uncorrectable" in status else "") if x)
        if theirs == expected:
            c.agree("ErrorStatus", status, theirs, "module-size-form")
        else:
            c.differ("ErrorStatus", status, theirs, f"expected {expected!r}")


def cache_size_kb(text):
    m = re.fullmatch(r"(\d+)k", text or "")
    return int(m.group(1)) if m else None


def cache_size2_kb(raw, offset):
    value = int.from_bytes(raw[offset:offset + 4], "little")
    return (value & 0x7FFFFFFF) * (64 if value & 0x80000000 else 1)


def type7(c, ours, dmi, rec):
    c.string("SocketDesignation", ours.get("SocketDesignation"), dmi, "Socket Designation")
    config = v(ours, "CacheConfiguration")
    if config is not None:
        items = config.split(", ")
        level, socketed, location, enabled, mode = items[0], items[1], items[2], items[3], items[4]
        expected_config = ", ".join([
            "Enabled" if enabled.startswith("Enabled") else "Disabled",
            "Socketed" if socketed == "Socketed" else "Not Socketed",
            level])
        expected_mode = {"Write Through": "Write Through", "Write Back": "Write Back",
                         "Op. mode varies with Memory Address": "Varies With Memory Address",
                         "Unknown op. mode": "Unknown"}[mode]
        expected_location = {"Internal": "Internal", "External": "External",
                             "Reserved location": OUT_OF_SPEC,
                             "Unknown location": "Unknown"}[location]
        got = (dmi_value(dmi, "Configuration"), dmi_value(dmi, "Operational Mode"),
               dmi_value(dmi, "Location"))
        if got == (expected_config, expected_mode, expected_location):
            c.agree("CacheConfiguration", config, got, "raw-composite")
        else:
            c.differ("CacheConfiguration", config, got,
                     f"expected {(expected_config, expected_mode, expected_location)}")
    for field, key, wide_offset in (("MaximumCacheSize", "Maximum Size", 0x13),
                                    ("InstalledSize", "Installed Size", 0x17)):
        size = cache_size_kb(v(ours, field))
        if size is None:
            continue
        theirs = size_kb(dmi_value(dmi, key))
        if theirs is None and dmi_value(dmi, key) == "None":
            theirs = 0
        if size == theirs:
            c.agree(field, size, theirs, "units")
        elif rec.length >= wide_offset + 4 and theirs == cache_size2_kb(rec.raw, wide_offset):
            # dmidecode reads the 32-bit field of SMBIOS 3.1 instead (zero in some firmware).
            c.agree(field, size, theirs, "no-32bit-cache-size")
        else:
            c.differ(field, size, dmi_value(dmi, key))
    if v(ours, "SupportedSRAMType") is not None:
        c.bits("SupportedSRAMType", "SramTypes", v(ours, "SupportedSRAMType"),
               dmi_items(dmi, "Supported SRAM Types") or [])
    if v(ours, "CurrentSRAMType") is not None:
        theirs = dmi_value(dmi, "Installed SRAM Type")
        c.bits("CurrentSRAMType", "SramTypes", v(ours, "CurrentSRAMType"),
               split_words(theirs, BIT_TEXTS["SramTypes"]) if theirs else [])
    compare_plain_number(c, "CacheSpeed", ours, dmi, "Speed", "ns", "ns", words={"Unknown": 0})
    for field, key in (("ErrorCorrectionType", "Error Correction Type"),
                       ("SystemCacheType", "System Type"), ("Associativity", "Associativity")):
        if v(ours, field) is not None:
            c.code(field, field, v(ours, field), dmi_value(dmi, key))


def type8(c, ours, dmi, rec):
    c.string("InternalReferenceDesignator", ours.get("InternalReferenceDesignator"), dmi,
             "Internal Reference Designator")
    c.string("ExternalReferenceDesignator", ours.get("ExternalReferenceDesignator"), dmi,
             "External Reference Designator")
    for field, key, table in (("InternalConnectorType", "Internal Connector Type", "ConnectorType"),
                              ("ExternalConnectorType", "External Connector Type", "ConnectorType"),
                              ("PortType", "Port Type", "PortType")):
        if v(ours, field) is not None:
            c.code(field, table, v(ours, field), dmi_value(dmi, key))


SLOT_WIDTHS = {"None": "", "Other": "", "Unknown": "", "8 bit": "8-bit ", "16 bit": "16-bit ",
               "32 bit": "32-bit ", "64 bit": "64-bit ", "128 bit": "128-bit ",
               "1x or x1": "x1 ", "2x or x2": "x2 ", "4x or x4": "x4 ", "8x or x8": "x8 ",
               "12x or x12": "x12 ", "16x or x16": "x16 ", "32x or x32": "x32 "}


# The two characteristics bytes, reported as numbers by us and as lines by dmidecode.
SLOT_FLAGS1 = {1: "5.0 V is provided", 2: "3.3 V is provided", 3: "Opening is shared",
               4: "PC Card-16 is supported", 5: "Cardbus is supported",
               6: "Zoom Video is supported", 7: "Modem ring resume is supported"}
SLOT_FLAGS2 = {0: "PME signal is supported", 1: "Hot-plug devices are supported",
               2: "SMBus signal is supported", 3: "PCIe slot bifurcation is supported",
               4: "Async/surprise removal is supported", 5: "Flexbus slot, CXL 1.0 capable",
               6: "Flexbus slot, CXL 2.0 capable", 7: "Flexbus slot, CXL 3.0 capable"}


def type9(c, ours, dmi, rec):
    c.string("SlotDesignation", ours.get("SlotDesignation"), dmi, "Designation")
    slot_type, width = v(ours, "SlotType"), v(ours, "SlotDataBusWidth")
    if slot_type is not None and width is not None:
        # dmidecode joins the two: "x16 PCI Express 3" is width "x16 " and type "PCI Express 3".
        theirs = dmi_value(dmi, "Type") or ""
        prefix = SLOT_WIDTHS.get(width)
        if theirs.startswith(OUT_OF_SPEC + " ") and width in UNASSIGNED_TEXTS:
            c.agree("SlotDataBusWidth", width, OUT_OF_SPEC, "unassigned-code")
            c.code("SlotType", "SlotType", slot_type, theirs[len(OUT_OF_SPEC) + 1:])
        elif prefix is None or not theirs.startswith(prefix):
            c.differ("SlotDataBusWidth", width, theirs)
        else:
            c.agree("SlotDataBusWidth", width, theirs, "raw-composite")
            c.code("SlotType", "SlotType", slot_type, theirs[len(prefix):])
    if v(ours, "CurrentUsage") is not None:
        c.code("CurrentUsage", "CurrentUsage", v(ours, "CurrentUsage"),
               dmi_value(dmi, "Current Usage"))
    if v(ours, "SlotLength") is not None:
        c.code("SlotLength", "SlotLength", v(ours, "SlotLength"), dmi_value(dmi, "Length"))
    slot_id = our_int(v(ours, "SlotID"))
    theirs = dmi_value(dmi, "ID")
    if slot_id is not None and theirs is not None:
        # dmidecode shows the bytes its slot type defines: for PCI, AGP, PCI-X and PCI
        # Express the low byte alone ("17" of 0x0311), for MCA/EISA/PC Card others.
        if our_int(theirs) == slot_id:
            c.agree("SlotID", slot_id, theirs)
        elif our_int(theirs) == slot_id & 0xFF:
            c.agree("SlotID", slot_id, theirs, "slot-id-word")
        elif re.fullmatch(r"Adapter (\d+), Socket (\d+)", theirs):
            a, s = (int(x) for x in re.findall(r"\d+", theirs))
            c.number("SlotID", slot_id, a | s << 8, "slot-id-word")
        else:
            c.differ("SlotID", slot_id, theirs)
    elif slot_id is not None:
        c.agree("SlotID", slot_id, None, "dmidecode-omits")  # no ID for this slot type
    flags1, flags2 = our_int(v(ours, "SlotCharacteristics1")), our_int(v(ours, "SlotCharacteristics2"))
    if flags1 is not None:
        theirs = dmi_items(dmi, "Characteristics") or []
        if flags1 & 1:
            expected = {"Unknown"}  # dmidecode stops at the "unknown" bit
        else:
            expected = {SLOT_FLAGS1[b] for b in range(1, 8) if flags1 >> b & 1}
            expected |= {SLOT_FLAGS2[b] for b in range(8) if flags2 is not None and flags2 >> b & 1}
            expected = expected or {"None"}
        if expected == set(theirs):
            c.agree("SlotCharacteristics1/2", (flags1, flags2), theirs, "bit-list-form")
        else:
            c.differ("SlotCharacteristics1/2", (flags1, flags2), theirs,
                     f"expected {sorted(expected)}")
    segment, bus, devfn = (our_int(v(ours, f)) for f in
                           ("SegmentGroupNumber", "BusNumber", "DeviceFunctionNumber"))
    address = dmi_value(dmi, "Bus Address")
    if devfn is not None:
        expected = f"{segment:04x}:{bus:02x}:{devfn >> 3:02x}.{devfn & 7:x}"
        if address is None and (segment == 0xFFFF and bus == 0xFF and devfn == 0xFF):
            c.agree("BusAddress", expected, None, "no-sentinel-words")
        elif address == expected:
            c.agree("BusAddress", expected, address, "raw-composite")
        else:
            c.differ("BusAddress", expected, address)


def type10(c, ours, rec):
    blocks = rec.blocks
    count = sum(1 for name in ours if name.startswith("DeviceType_"))
    c.number("OnBoardDevices", count, len(blocks))
    for i, (title, dmi) in enumerate(blocks[:count]):
        device = v(ours, f"DeviceType_{i}_")
        if device is None:
            continue
        kind, _, state = device.rpartition(" (")
        c.code(f"DeviceType[{i}]", "OnBoardDeviceType", kind, dmi_value(dmi, "Type"))
        status = state.rstrip(")")
        if status == dmi_value(dmi, "Status"):
            c.agree(f"DeviceType[{i}] state", status, status, "raw-composite")
        else:
            c.differ(f"DeviceType[{i}] state", status, dmi_value(dmi, "Status"))
        c.string(f"DescriptionString[{i}]", ours.get(f"DescriptionString_{i}_"), dmi,
                 "Description")


def type11(c, ours, dmi, rec):
    count = our_int(v(ours, "Count:_"))
    if count is None:
        return
    theirs = [key for key in dmi if re.fullmatch(r"String \d+", key)]
    # dmidecode too lists as many strings as the count byte says.
    c.number("Count: ", count, len(theirs))
    for i in range(min(count, len(theirs))):
        c.string(f"OEM String[{i}]", ours.get(f"OEM_String_{i}_"), dmi, f"String {i + 1}")


TYPE17_AFTER_DETAIL = {"Speed": "Speed", "Manufacturer": "Manufacturer",
                       "SerialNumber": "Serial Number", "AssetTag": "Asset Tag",
                       "PartNumber": "Part Number", "AttributesRank": "Rank",
                       "ExtendedSize": None,
                       "ConfiguredMemoryClockSpeed": "Configured Memory Speed",
                       "MinimumVoltage": "Minimum Voltage", "MaximumVoltage": "Maximum Voltage",
                       "ConfiguredVoltage": "Configured Voltage"}


def type17(c, ours, dmi, rec):
    if dmi_value(dmi, "Size") == "No Module Installed":
        # dmidecode shows nothing after "Type Detail" for an empty socket.
        ours = dict(ours)
        for field, key in TYPE17_AFTER_DETAIL.items():
            if field in ours and (key is None or key not in dmi):
                c.agree(field, ours.pop(field), None, "dmidecode-omits")
    compare_handle(c, "PhysicalMemoryArrayHandle", ours, dmi, "Array Handle")
    compare_handle(c, "MemoryErrorInformationHandle", ours, dmi, "Error Information Handle",
                   words={"Not Provided": 0xFFFE, "No Error": 0xFFFF})
    for field, key in (("TotalWidth", "Total Width"), ("DataWidth", "Data Width")):
        compare_plain_number(c, field, ours, dmi, key, "bits", "bits",
                             words={"Unknown": (0, 0xFFFF)})
    size = v(ours, "Size")
    if size is not None:
        theirs = dmi_value(dmi, "Size")
        m = re.fullmatch(r"(\d+)(MB|kB)", size)
        if size == "0 (No module installed)":
            ok = theirs == "No Module Installed"
        elif size == "Unknown memory size":
            ok = theirs == "Unknown"
        elif size == "See extended size":
            ext = our_int(v(ours, "ExtendedSize", "MB"))
            ok = ext is not None and size_kb(theirs) == ext * 1024
        else:
            ok = m is not None and size_kb(theirs) == int(m.group(1)) * (1024 if m.group(2) == "MB" else 1)
        rule = ("type17-size" if size.startswith("See") else
                "no-sentinel-words" if not m else "units")
        (c.agree if ok else c.differ)("Size", size, theirs, rule if ok else "")
    if v(ours, "FormFactor") is not None:
        c.code("FormFactor", "FormFactor", v(ours, "FormFactor"), dmi_value(dmi, "Form Factor"))
    compare_plain_number(c, "DeviceSet", ours, dmi, "Set", words={"None": 0, "Unknown": 0xFF})
    c.string("DeviceLocator", ours.get("DeviceLocator"), dmi, "Locator")
    c.string("BankLocator", ours.get("BankLocator"), dmi, "Bank Locator")
    if v(ours, "MemoryType") is not None:
        c.code("MemoryType", "MemoryType", v(ours, "MemoryType"), dmi_value(dmi, "Type"))
    detail = v(ours, "TypeDetail")
    if detail is not None:
        theirs = dmi_value(dmi, "Type Detail")
        items = [] if theirs in (None, "None") else split_words(theirs, BIT_TEXTS["TypeDetail"])
        c.bits("TypeDetail", "TypeDetail", detail, items)
    for field, key in (("Speed", "Speed"), ("ConfiguredMemoryClockSpeed", "Configured Memory Speed")):
        value, theirs = our_int(v(ours, field, "MHz")), dmi_value(dmi, key)
        if value is None and theirs is None:
            continue
        if theirs == "Unknown":
            c.number(field, value, 0, "no-sentinel-words")
        elif theirs is not None and re.fullmatch(r"\d+ (MT/s|MHz)", theirs):
            c.number(field, value, int(theirs.split()[0]), "units")
        else:
            c.presence(field, value, theirs)
    for field, key in (("Manufacturer", "Manufacturer"), ("SerialNumber", "Serial Number"),
                       ("AssetTag", "Asset Tag"), ("PartNumber", "Part Number")):
        c.string(field, ours.get(field), dmi, key)
    compare_plain_number(c, "AttributesRank", ours, dmi, "Rank", words={"Unknown": 0})
    for field, key in (("MinimumVoltage", "Minimum Voltage"), ("MaximumVoltage", "Maximum Voltage"),
                       ("ConfiguredVoltage", "Configured Voltage")):
        value, theirs = our_int(v(ours, field, "mV")), dmi_value(dmi, key)
        if value is None and theirs is None:
            continue
        if theirs == "Unknown":
            c.number(field, value, 0, "no-sentinel-words")
        elif theirs is not None and re.fullmatch(r"\d+(\.\d+)? V", theirs):
            c.number(field, value, round(float(theirs.split()[0]) * 1000), "units")
        else:
            c.presence(field, value, theirs)


def split_words(text, table):
    """dmidecode's one-line list of type detail items, split by its known item texts."""
    known = sorted((t for t in table.values() if t), key=len, reverse=True)
    items, rest = [], text
    while rest:
        for item in known:
            if rest.startswith(item):
                items.append(item)
                rest = rest[len(item):].lstrip(" ")
                break
        else:
            items.append(rest)
            break
    return items


def type19(c, ours, dmi, rec):
    start, end = v(ours, "StartingAddress"), v(ours, "EndingAddress")
    theirs_start, theirs_end = dmi_hex(dmi_value(dmi, "Starting Address")), dmi_hex(
        dmi_value(dmi, "Ending Address"))
    if start is not None and end is not None:
        if start == "See extended address":
            expected = (int(v(ours, "ExtendedStartingAddress"), 16),
                        int(v(ours, "ExtendedEndingAddress"), 16))
        else:
            expected = (int(start, 16) << 10, ((int(end, 16) + 1) << 10) - 1)
        if expected == (theirs_start, theirs_end):
            c.agree("StartingAddress/EndingAddress", (start, end), (theirs_start, theirs_end),
                    "addresses-kB")
        else:
            c.differ("StartingAddress/EndingAddress", (start, end), (theirs_start, theirs_end),
                     f"expected {tuple(hex(x) for x in expected)}")
    compare_handle(c, "MemoryArrayHandle", ours, dmi, "Physical Array Handle")
    compare_plain_number(c, "PartitionWidth", ours, dmi, "Partition Width")


def type22(c, ours, dmi, rec):
    for field, key in (("Location", "Location"), ("Manufacturer", "Manufacturer"),
                       ("DeviceName", "Name"), ("SBDSVersionNumber", "SBDS Version")):
        c.string(field, ours.get(field), dmi, key)
    # dmidecode prints the string date and serial only when the string is there, else the
    # SBDS ones under the same name.
    for field, key in (("ManufactureDate", "Manufacture Date"), ("SerialNumber", "Serial Number")):
        if v(ours, field):
            c.string(field, ours.get(field), dmi, key)
    chemistry = v(ours, "DeviceChemistry")
    if chemistry is not None:
        theirs = dmi_value(dmi, "Chemistry")
        if theirs is None and rec.raw[0x09] == 0x02 and dmi_value(dmi, "SBDS Chemistry") is not None:
            # Code 2 ("Unknown"): dmidecode shows the SBDS chemistry string instead.
            c.agree("DeviceChemistry", chemistry, None, "dmidecode-omits")
        else:
            c.code("DeviceChemistry", "DeviceChemistry", chemistry, theirs)
    capacity = v(ours, "DesignCapacity")
    if capacity is not None:
        theirs = dmi_value(dmi, "Design Capacity")
        value = our_int(capacity.removesuffix(" mWh"))
        if theirs == "Unknown":
            c.number("DesignCapacity", value, 0, "battery")
        else:
            c.number("DesignCapacity", value, our_int((theirs or "").removesuffix(" mWh")))
    compare_plain_number(c, "DesignVoltage", ours, dmi, "Design Voltage", "mV", "mV",
                         words={"Unknown": 0})
    error = v(ours, "MaximumError")
    if error is not None:
        theirs = dmi_value(dmi, "Maximum Error")
        (c.agree if error == theirs else c.differ)("MaximumError", error, theirs)
    serial = our_int(v(ours, "SBDSSerialNumber"))
    if serial is not None and dmi_value(dmi, "SBDS Serial Number") is not None:
        c.number("SBDSSerialNumber", serial, dmi_hex("0x" + dmi_value(dmi, "SBDS Serial Number")),
                 "battery")
    date = v(ours, "SBDSManufacturingDate")
    if date is not None and dmi_value(dmi, "SBDS Manufacture Date") is not None:
        m = re.fullmatch(r"(\d\d)\.(\d\d)\.(\d{4}) \(\d+\)", date)
        expected = f"{m.group(3)}-{m.group(2)}-{m.group(1)}" if m else None
        theirs = dmi_value(dmi, "SBDS Manufacture Date")
        (c.agree if expected == theirs else c.differ)("SBDSManufacturingDate", date, theirs,
                                                      "battery" if expected == theirs else "")
    c.string("SBDSDeviceChemistry", ours.get("SBDSDeviceChemistry"), dmi, "SBDS Chemistry") \
        if dmi_value(dmi, "SBDS Chemistry") is not None else None
    oem = v(ours, "OEMSpecific")
    if oem is not None:
        c.number("OEMSpecific", dmi_hex(oem), dmi_hex(dmi_value(dmi, "OEM-specific Information")))


STATUS_WORDS = {"Other": "Other", "Unknown": "Unknown", "OK": "OK", "Non-critical": "Non-critical",
                "Critical": "Critical", "Non-recoverable": "Non-recoverable", "": OUT_OF_SPEC}


def type27(c, ours, dmi, rec):
    compare_handle(c, "TemperatureProbeHandle", ours, dmi, "Temperature Probe Handle",
                   omit=(0xFFFF,))
    kind = v(ours, "DeviceTypeAndStatus")
    if kind is not None:
        device, _, status = kind.partition(", ")
        theirs_type, theirs_status = dmi_value(dmi, "Type"), dmi_value(dmi, "Status")
        if device == "" and theirs_type == OUT_OF_SPEC:
            c.agree("DeviceTypeAndStatus type", device, theirs_type, "cooling-status-form")
        else:
            c.code("DeviceTypeAndStatus type", "CoolingType", device, theirs_type)
        if STATUS_WORDS.get(status) == theirs_status:
            c.agree("DeviceTypeAndStatus status", status, theirs_status, "cooling-status-form")
        else:
            c.differ("DeviceTypeAndStatus status", status, theirs_status)
    compare_plain_number(c, "CoolingUnitGroup", ours, dmi, "Cooling Unit Group", omit=(0,))
    oem = v(ours, "OEMdefined")
    if oem is not None:
        c.number("OEMdefined", dmi_hex(oem), dmi_hex(dmi_value(dmi, "OEM-specific Information")))
    speed = v(ours, "NominalSpeed")
    if speed is not None:
        theirs = dmi_value(dmi, "Nominal Speed")
        if speed == "Unknown / Not installed?":
            ok = theirs == "Unknown Or Non-rotating"
        else:
            ok = theirs == speed
        (c.agree if ok else c.differ)("NominalSpeed", speed, theirs, "readings" if ok else "")
    c.string("Description", ours.get("Description"), dmi, "Description") \
        if v(ours, "Description") is not None else None


def reading(c, field, ours_text, unit, theirs, their_unit):
    if ours_text is None:
        return
    if ours_text == "Unknown":
        if theirs == "Unknown" or theirs is None:
            return c.agree(field, ours_text, theirs, "readings")
        return c.differ(field, ours_text, theirs)
    if theirs is None or not theirs.endswith(their_unit):
        return c.differ(field, ours_text, theirs)
    ours_number = float(ours_text.replace(",", "."))
    theirs_number = float(theirs[: -len(their_unit)])
    if abs(ours_number - theirs_number) < 1e-9:
        return c.agree(field, ours_text, theirs, "readings")
    c.differ(field, ours_text, theirs)


def type28(c, ours, dmi, rec):
    c.string("Description", ours.get("Description"), dmi, "Description")
    location = v(ours, "LocationAndStatus")
    if location is not None:
        place, _, status = location.partition(", ")
        c.code("LocationAndStatus location", "ProbeLocation", place, dmi_value(dmi, "Location"))
        if STATUS_WORDS.get(status) == dmi_value(dmi, "Status"):
            c.agree("LocationAndStatus status", status, dmi_value(dmi, "Status"),
                    "cooling-status-form")
        else:
            c.differ("LocationAndStatus status", status, dmi_value(dmi, "Status"))
    for field, key in (("MaximumValue", "Maximum Value"), ("MinimumValue", "Minimum Value"),
                       ("Resolution", "Resolution"), ("Tolerance", "Tolerance"),
                       ("NominalValue", "Nominal Value")):
        reading(c, field, v(ours, field, "°C"), "°C", dmi_value(dmi, key), " deg C")
    reading(c, "Accuracy", v(ours, "Accuracy", "%"), "%", dmi_value(dmi, "Accuracy"), "%")
    oem = v(ours, "OEM-Defined")
    if oem is not None:
        c.number("OEM-Defined", dmi_hex(oem), dmi_hex(dmi_value(dmi, "OEM-specific Information")))


def type34(c, ours, dmi, rec):
    rule = "type34-length16" if rec.length == 0x10 else None
    description = v(ours, "Description")
    if description is not None:
        theirs = dmi_value(dmi, "Description")
        if description == theirs:
            c.agree("Description", description, theirs, rule)
        else:
            c.string("Description", ours.get("Description"), dmi, "Description")
    if v(ours, "Type") is not None:
        c.code("Type", "ManagementDeviceType", v(ours, "Type"), dmi_value(dmi, "Type"))
    address = v(ours, "Address")
    if address is not None:
        c.number("Address", dmi_hex(address), dmi_hex(dmi_value(dmi, "Address")))
    if v(ours, "ManagementDeviceAddressType") is not None:
        c.code("ManagementDeviceAddressType", "ManagementDeviceAddressType",
               v(ours, "ManagementDeviceAddressType"), dmi_value(dmi, "Address Type"))


def type35(c, ours, dmi, rec):
    c.string("Description", ours.get("Description"), dmi, "Description")
    for field, key in (("ManagementDeviceHandle", "Management Device Handle"),
                       ("ComponentHandle", "Component Handle"),
                       ("ThresholdHandle", "Threshold Handle")):
        compare_handle(c, field, ours, dmi, key)


def type36(c, ours, dmi, rec):
    for field, key in (("LowerNonCritical", "Lower Non-critical Threshold"),
                       ("UpperNonCritical", "Upper Non-critical Threshold"),
                       ("LowerCritical", "Lower Critical Threshold"),
                       ("UpperCritical", "Upper Critical Threshold"),
                       ("LowerNonRecoverable", "Lower Non-recoverable Threshold"),
                       ("UpperNonRecoverable", "Upper Non-recoverable Threshold")):
        value, theirs = v(ours, field), dmi_value(dmi, key)
        if value is None:
            if theirs is not None:
                c.presence(field, None, theirs)
            continue
        if value == "N/A":
            (c.agree if theirs is None else c.differ)(field, value, theirs, "readings")
            continue
        m = re.fullmatch(r"(\d+)mV or (\d+)mA or ([\d.,]+)°C or (\d+)rpm", value)
        if m and theirs is not None and int(m.group(1)) == (int(theirs) & 0xFFFF):
            c.agree(field, value, theirs, "readings")
        else:
            c.differ(field, value, theirs)


def type39(c, ours, dmi, rec):
    compare_plain_number(c, "PowerUnitGroup", ours, dmi, "Power Unit Group", omit=(0,))
    for field, key in (("Location", "Location"), ("DeviceName", "Name"),
                       ("Manufacturer", "Manufacturer"), ("SerialNumber", "Serial Number"),
                       ("AssetTagNumber", "Asset Tag"), ("ModelPartNumber", "Model Part Number"),
                       ("RevisionLevel", "Revision")):
        c.string(field, ours.get(field), dmi, key)
    power = v(ours, "MaxPowerCapacity")
    if power is not None:
        theirs = dmi_value(dmi, "Max Power Capacity")
        expected = "Unknown" if power == "N/A" else power.removesuffix("W") + " W"
        (c.agree if theirs == expected else c.differ)("MaxPowerCapacity", power, theirs,
                                                      "power-supply" if theirs == expected else "")
    text = v(ours, "PowerSupplyCharacteristics")
    if text is not None:
        m = re.fullmatch(r"((?:hot-replaceable, )?)((?:present, )?)((?:unplugged from the wall, )?)"
                         r"Range=(.*), Status=(.*), Type=(.*)", text)
        if not m:
            c.differ("PowerSupplyCharacteristics", text, None, "unreadable")
        else:
            hot, present, unplugged, rng, status, kind = m.groups()
            def word(x, table=None):
                if x == "UNKNOWN":
                    return OUT_OF_SPEC
                return CODE_TEXTS[table].get(x, x) if table else x
            expected_status = (f"Present, {word(CODE_TEXTS['PowerSupplyStatus'].get(status, status))}"
                               if present else "Not Present")
            expected = {
                "Status": expected_status,
                "Type": word(kind),
                "Input Voltage Range Switching": word(rng, "PowerSupplyRange"),
                "Plugged": "No" if unplugged else "Yes",
                "Hot Replaceable": "Yes" if hot else "No",
            }
            got = {k: dmi_value(dmi, k) for k in expected}
            if all(fold(got[k] or "") == fold(expected[k]) for k in expected):
                c.agree("PowerSupplyCharacteristics", text, got, "raw-composite")
            else:
                c.differ("PowerSupplyCharacteristics", text, got, f"expected {expected}")
    for field, key in (("InputVoltageProbeHandle", "Input Voltage Probe Handle"),
                       ("CoolingDeviceHandle", "Cooling Device Handle"),
                       ("InputCurrentProbeHandle", "Input Current Probe Handle")):
        value, theirs = v(ours, field), dmi_value(dmi, key)
        if value is None:
            continue
        if value == "N/A":
            (c.agree if theirs is None else c.differ)(field, value, theirs, "power-supply")
        else:
            c.number(field, our_int(value), dmi_hex(theirs), "handle-decimal")


COMPARATORS = {0: type0, 1: type1, 2: type2, 3: type3, 4: type4, 5: type5, 6: type6, 7: type7,
               8: type8, 9: type9, 11: type11, 17: type17, 19: type19, 22: type22, 27: type27,
               28: type28, 34: type34, 35: type35, 36: type36, 39: type39}
DECODED = set(COMPARATORS) | {10}


def compare_table(c, tool, path, problems):
    name = os.path.basename(path)[:-4]
    result = subprocess.run([tool, "decode", "--all", path], capture_output=True)
    if result.returncode != 0:
        problems.append(f"{name}: gravelin-report failed: {result.stderr.decode(errors='replace')}")
        return
    xml_text = result.stdout.decode("utf-8")
    check_xml(name, xml_text, problems)
    report = parse_report(xml_text)
    dmi_run = subprocess.run(["dmidecode", "--from-dump", path], capture_output=True)
    version, records = parse_dmidecode(dmi_run.stdout.decode("utf-8", errors="replace"))
    c.version = version or (2, 0)
    structures = walk_table(table_bytes(path))
    # Our object index -> handle, per type; dmidecode's record per (type, handle, occurrence).
    ours_by_key = {}
    seen_index, seen_key = Counter(), Counter()
    for type_, handle, length, raw in structures:
        index = seen_index[type_]
        seen_index[type_] += 1
        key = (type_, handle, seen_key[(type_, handle)])
        seen_key[(type_, handle)] += 1
        ours_by_key[key] = (index, length, raw)
    theirs_seen = Counter()
    c.tables += 1
    for record in records:
        key = (record.type, record.handle, theirs_seen[(record.type, record.handle)])
        theirs_seen[(record.type, record.handle)] += 1
        if record.type not in DECODED:
            continue
        c.context = f"{name} handle 0x{record.handle:04X} type {record.type}"
        if key not in ours_by_key:
            c.mismatches.append(f"{c.context}: dmidecode shows it, our walk does not reach it")
            continue
        index, length, raw = ours_by_key[key]
        objects = report.get(record.type, [])
        if index >= len(objects):
            c.mismatches.append(f"{c.context}: no report object i{index}")
            continue
        record.raw = raw
        c.structures += 1
        if record.type == 10:
            type10(c, objects[index], record)
        else:
            COMPARATORS[record.type](c, objects[index], record.fields(), record)
    # Every decodable structure that dmidecode shows must have been compared; structures we
    # show beyond dmidecode's (after End-of-Table, beyond the entry point's count) are noted.
    extra = [k for k in ours_by_key if k[0] in DECODED and theirs_seen[(k[0], k[1])] <= k[2]]
    if extra:
        c.beyond.append(f"{name}: {len(extra)} structure(s) beyond dmidecode's walk")


# ---- The code sweep: every code of every value table, in a table built here -------------

def sweep_structure(type_, length, handle, fields, strings=("Sweep",)):
    """One structure: `fields` maps offsets to bytes; every string number byte is set by the
    caller."""
    body = bytearray(length)
    body[0], body[1] = type_, length
    body[2:4] = handle.to_bytes(2, "little")
    for offset, value in fields.items():
        body[offset:offset + len(value)] = value
    area = b"".join(s.encode("latin-1") + b"\0" for s in strings) if strings else b"\0"
    return bytes(body) + area + b"\0"


def word(value):
    return value.to_bytes(2, "little")


def sweep_table():
    """Structures that carry every code of every value table the decoders have (structure i of
    a type holds code i in each of its code fields), so that each code is decoded by both."""
    structures = []
    handle = 0x100

    def add(type_, length, fields, strings=("Sweep",)):
        nonlocal handle
        structures.append(sweep_structure(type_, length, handle, fields, strings))
        handle += 1

    for bit in range(32):  # BIOS characteristics, one bit at a time, and the extension bits
        ext = (1 << (bit % 8)).to_bytes(1, "little")
        add(0, 0x1A, {0x04: b"\1", 0x05: b"\1", 0x06: word(0xE800), 0x08: b"\1",
                      0x09: bytes([bit]), 0x0A: (1 << bit).to_bytes(8, "little"),
                      0x12: ext, 0x14: b"\1\2", 0x16: b"\3\4"})
    for code in range(256):
        add(1, 0x1B, {0x04: b"\1", 0x08: bytes(range(16)), 0x18: bytes([code])})
        add(2, 0x0F, {0x04: b"\1", 0x09: bytes([code & 0x1F]), 0x0B: word(0x300),
                      0x0D: bytes([code])})
        add(3, 0x16, {0x04: b"\1", 0x05: bytes([code]), 0x09: bytes([code] * 4),
                      0x11: b"\2\1", 0x14: b"\3", 0x15: b"\1"})
        add(4, 0x30, {0x04: b"\1", 0x05: bytes([code]), 0x06: bytes([code]), 0x07: b"\1",
                      0x10: b"\1", 0x11: bytes([code]), 0x12: word(100), 0x14: word(3000),
                      0x16: word(2000), 0x18: bytes([code]), 0x19: bytes([code]),
                      0x1A: word(0xFFFF) * 3, 0x23: b"\4\4\x08",
                      0x26: word(code << 1 & 0x3FE), 0x28: word(code), 0x2A: word(4) * 3})
        add(5, 0x10, {0x04: bytes([code]), 0x05: bytes([code & 0x3F]), 0x06: bytes([code]),
                      0x07: bytes([code]), 0x08: b"\x0A", 0x09: word(code & 0x1F),
                      0x0B: word(code << 3 & 0x7FF), 0x0D: bytes([code & 0x07]),
                      0x0F: bytes([code & 0x3F])}, strings=())
        add(7, 0x13, {0x04: b"\1", 0x05: word(code | 0x80), 0x07: word(0x8010),
                      0x09: word(0x0100), 0x0B: word(code & 0x7F), 0x0D: word(code & 0x7F),
                      0x0F: b"\0", 0x10: bytes([code]), 0x11: bytes([code]),
                      0x12: bytes([code])})
        add(8, 0x09, {0x04: b"\1", 0x05: bytes([code]), 0x06: b"\1", 0x07: bytes([code]),
                      0x08: bytes([code])})
        add(9, 0x11, {0x04: b"\1", 0x05: bytes([code]), 0x06: bytes([code]),
                      0x07: bytes([code]), 0x08: bytes([code]), 0x09: word(1),
                      0x0B: bytes([code & 0xFE]), 0x0C: bytes([code & 0x07])})
        add(17, 0x28, {0x04: word(0x1000), 0x06: word(0xFFFE), 0x08: word(72) + word(64),
                       0x0C: word(1024), 0x0E: bytes([code]), 0x0F: b"\1", 0x10: b"\1\1",
                       0x12: bytes([code]), 0x13: word(code << 1 | (code & 0x80) << 8),
                       0x15: word(2400), 0x17: b"\1\1\1\1", 0x1B: b"\2",
                       0x20: word(2400), 0x22: word(1200) * 3})
        add(22, 0x1A, {0x04: b"\1\1\1\1\1", 0x09: bytes([code]), 0x0A: word(4800),
                       0x0C: word(11100), 0x0E: b"\1", 0x0F: b"\5", 0x10: word(7),
                       0x12: word(0x2841), 0x14: b"\1", 0x15: b"\x0A"})
        add(27, 0x0F, {0x04: word(0x200), 0x06: bytes([code]), 0x07: b"\1",
                       0x0C: word(2400), 0x0E: b"\1"})
        add(28, 0x16, {0x04: b"\1", 0x05: bytes([code]), 0x06: word(455), 0x08: word(0xFFF6),
                       0x0A: word(1), 0x0C: word(5), 0x0E: word(150), 0x14: word(300)})
        add(34, 0x0B, {0x04: b"\1", 0x05: bytes([code]), 0x06: word(0x0C00) + word(0),
                       0x0A: bytes([code])})
    for code in range(0x100, 0x310):  # the 16-bit processor families
        add(4, 0x30, {0x04: b"\1", 0x05: b"\3", 0x06: b"\xFE", 0x07: b"\1", 0x10: b"\1",
                      0x18: b"\x41", 0x19: b"\1", 0x1A: word(0xFFFF) * 3,
                      0x23: b"\4\4\x08", 0x28: word(code), 0x2A: word(4) * 3})
    for first in range(0, 128, 32):  # on-board device types, enabled and not
        entries = b"".join(bytes([code | (0x80 if code % 2 else 0), 1])
                           for code in range(first, first + 32))
        add(10, 4 + len(entries), {0x04: entries})
    for code in range(16):  # power supply range, status and type codes
        characteristics = (code & 0x7) | (code << 3) | ((code & 0x7) << 7) | (code << 10)
        add(39, 0x16, {0x04: b"\1", 0x05: b"\1\1\1\1\1\1\1", 0x0C: word(450),
                       0x0E: word(characteristics & 0x3FFF), 0x10: word(0xFFFF) * 3})
    add(127, 4, {}, strings=())
    return b"".join(structures), len(structures)


def sweep_dump(path, version=(3, 8)):
    """The sweep table as a `dmidecode --dump-bin` file: an _SM3_ entry point, the table at
    offset 0x20."""
    table, _ = sweep_table()
    entry = bytearray(0x18)
    entry[0:5] = b"_SM3_"
    entry[6], entry[7], entry[8], entry[10] = 0x18, version[0], version[1], 1
    entry[0x0C:0x10] = len(table).to_bytes(4, "little")
    entry[0x10:0x18] = (0x20).to_bytes(8, "little")
    entry[5] = (-sum(entry)) & 0xFF
    with open(path, "wb") as out:
        out.write(bytes(entry) + bytes(0x20 - len(entry)) + table)


def report(c, problems, verbose, title):
    print(f"{title}: tables {c.tables}, structures {c.structures}, fields compared {c.fields} "
          f"({c.exact} equal as they stand, {c.fields - c.exact - len(c.mismatches)} through a "
          f"normalisation rule or intended difference), disagreements {len(c.mismatches)}")
    print("intended differences and normalisations used:")
    for rule, count in sorted(c.rules.items(), key=lambda kv: -kv[1]):
        print(f"  {rule:22} {count:6}  e.g. {c.rule_examples.get(rule, '')}")
    if c.out_of_spec:
        print(f"codes dmidecode 3.4 predates (it prints {OUT_OF_SPEC}), ours named: "
              f"{len(c.out_of_spec)}")
        for line in c.out_of_spec[: None if verbose else 12]:
            print("  " + line)
        if len(c.out_of_spec) > 12 and not verbose:
            print(f"  ... {len(c.out_of_spec) - 12} more (--verbose)")
    if c.newer:
        print("codes added to the standard since SMBIOS 3.0 (ours ~ dmidecode's; each counted "
              "above):")
        for (field, ours, theirs), count in sorted(c.newer.items()):
            print(f"  {field}: {ours!r} ~ {theirs!r} x{count}")
    for line in c.beyond:
        print("note: " + line)
    for line in problems:
        print("XML: " + line)
    for line in c.mismatches[: None if verbose else 60]:
        print("DISAGREE: " + line)
    if len(c.mismatches) > 60 and not verbose:
        print(f"... {len(c.mismatches) - 60} more (--verbose)")
    return bool(c.mismatches or problems)


def main(argv):
    verbose = "--verbose" in argv
    trace = "--trace" in argv
    args = [a for a in argv[1:] if a not in ("--verbose", "--trace")]
    only = None
    if "--only" in args:
        only = args[args.index("--only") + 1]
        args.remove("--only")
        args.remove(only)
    if len(args) != 2:
        print(__doc__.split("\n\n")[-2], file=sys.stderr)
        return 2
    tool, tables = args
    if shutil.which("dmidecode") is None or shutil.which("xmllint") is None:
        print("SKIP: dmidecode and xmllint are needed (scripts/packages/base.txt)")
        return 77
    failed = False
    if only != "sweep":
        if not os.path.isdir(tables):
            print(f"no real tables at {tables}", file=sys.stderr)
            return 1
        paths = sorted(os.path.join(tables, f) for f in os.listdir(tables) if f.endswith(".bin"))
        if only:
            paths = [p for p in paths if only in os.path.basename(p)]
        c = Comparison(verbose, trace)
        c.beyond = []
        problems = []
        for path in paths:
            compare_table(c, tool, path, problems)
        failed |= report(c, problems, verbose, "real tables")
    if only is None or only == "sweep":
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "sweep.bin")
            sweep_dump(path)
            c = Comparison(verbose, trace)
            c.beyond = []
            problems = []
            compare_table(c, tool, path, problems)
            print()
            failed |= report(c, problems, verbose, "code sweep (every code of every table)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
