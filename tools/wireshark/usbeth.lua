-- usbeth.lua: Wireshark/tshark dissector for the usbeth adapter's USB traffic
-- in Linux usbmon captures (link types 189 and 220), such as those written by
-- `usbeth-sim --usb-pcap` or taken with usbmon on a Linux machine.
--
--   tshark -X lua_script:tools/wireshark/usbeth.lua -r usb.pcap
--   cp tools/wireshark/usbeth.lua ~/.local/lib/wireshark/plugins/   (Wireshark)
--
-- What it decodes:
--   * vendor register requests 0xF0 (read) and 0xF1 (write): the registers by
--     name, the count, the data, each register's value decoded into its
--     fields; a read's completion shows the data returned and its request;
--   * MII management commands written to registers 0x25..0x28, paired with
--     the later read-back of 0x26..0x28 (value, done bit), with clause-22
--     register names and fields;
--   * EEPROM word reads through registers 0x20..0x23;
--   * bulk-out transfers: the 2-byte length prefix, the Ethernet frame (handed
--     to the Ethernet dissector), padding, zero-length transfers that end a
--     transfer of a multiple of 64 bytes, and 32-byte keep-alive transfers;
--   * bulk-in transfers: the Ethernet frame, its frame check sequence, the
--     4-byte trailer (length and receive status, bit by bit), and transfers
--     the driver drops, flagged with expert info.
--
-- Which device is the adapter: the one whose device descriptor (seen in the
-- capture) carries a vendor:product pair from the "products" preference
-- (default 1209:0001, the simulated adapter), or a bus.device address listed
-- in the "devices" preference, for captures that start after enumeration.
-- With "guess" set, a device whose descriptor is not in the capture is taken
-- as the adapter from its first 0xF0/0xF1 register request.
--
-- Wireshark 4.0 hands vendor control transfers and bulk transfers with data
-- to heuristic dissectors; transfers without data (a bulk-in read being
-- submitted, a zero-length bulk-out transfer, a bulk-out completion) reach no
-- subdissector, so a post-dissector names those, and it is also where device
-- descriptors are watched.

local B = bit32 or bit

local usbeth = Proto("usbeth", "usbeth USB Ethernet adapter")

-- ---------------------------------------------------------------------------
-- Names

-- Controller registers, as hw/registers.h names them.
local REG = {}
local function reg_name(r, mnemonic, what) REG[r] = { mnemonic = mnemonic, what = what } end
reg_name(0x00, "RX_CTL0", "receive control 0")
reg_name(0x01, "RX_CTL1", "receive control 1 / MAC mode")
reg_name(0x02, "RX_CTL2", "receive control 2")
for i = 0, 7 do
  reg_name(0x08 + i, "MCAST_HASH" .. i,
           string.format("multicast hash, bits %d..%d", 8 * i, 8 * i + 7))
end
for i = 0, 5 do reg_name(0x10 + i, "STATION_ADDR" .. i, "station address, byte " .. i) end
reg_name(0x1C, "ALIVE_PARAM0", "alive parameter, low byte")
reg_name(0x1D, "ALIVE_PARAM1", "alive parameter, high byte")
reg_name(0x20, "EEPROM_INDEX", "EEPROM word index")
reg_name(0x21, "EEPROM_DATA_LO", "EEPROM data, low byte")
reg_name(0x22, "EEPROM_DATA_HI", "EEPROM data, high byte")
reg_name(0x23, "EEPROM_CTL", "EEPROM control and status")
reg_name(0x25, "MII_ADDR", "MII PHY address")
reg_name(0x26, "MII_DATA_LO", "MII data, low byte")
reg_name(0x27, "MII_DATA_HI", "MII data, high byte")
reg_name(0x28, "MII_CTL", "MII control and status")
reg_name(0x7B, "POWER_UP", "power-up register, stored")
for r = 0x7C, 0x81 do
  reg_name(r, string.format("GPIO_%02X", r), string.format("GPIO block, pins %d and %d",
           2 * (r - 0x7C), 2 * (r - 0x7C) + 1))
end
REG[0x7E].what = "GPIO block: PHY reset and Ethernet PHY power-down"

local function reg_label(r)
  local n = REG[r]
  if n then return string.format("%s (%s)", n.mnemonic, n.what) end
  return string.format("register 0x%02X (unnamed, plain storage)", r)
end
local function reg_short(r)
  return REG[r] and REG[r].mnemonic or string.format("REG_%02X", r)
end

local reg_vs = {}
for r = 0, 255 do reg_vs[r] = reg_label(r) end

-- Clause-22 MII registers; others are vendor registers, named by number.
local MII = {
  [0] = "control", [1] = "status", [2] = "PHY identifier 1", [3] = "PHY identifier 2",
  [4] = "auto-negotiation advertisement", [5] = "link partner ability",
  [6] = "auto-negotiation expansion",
}
local mii_vs = {}
for r = 0, 31 do mii_vs[r] = MII[r] or ("vendor register " .. r) end

local KIND_READ, KIND_WRITE, KIND_TX, KIND_KEEPALIVE, KIND_ZLP, KIND_RX = 1, 2, 3, 4, 5, 6
local kind_vs = {
  [KIND_READ] = "register read", [KIND_WRITE] = "register write",
  [KIND_TX] = "frame sent (bulk-out)", [KIND_KEEPALIVE] = "keep-alive (bulk-out)",
  [KIND_ZLP] = "zero-length transfer (bulk-out)", [KIND_RX] = "bulk-in transfer",
}

-- ---------------------------------------------------------------------------
-- Fields

local F = {
  kind = ProtoField.uint8("usbeth.kind", "Transfer", base.DEC, kind_vs),
  request = ProtoField.uint8("usbeth.request", "Request", base.HEX,
                             { [0xF0] = "register read", [0xF1] = "register write" }),
  reg = ProtoField.uint8("usbeth.reg", "First register", base.HEX, reg_vs),
  count = ProtoField.uint16("usbeth.count", "Count", base.DEC),
  wvalue = ProtoField.uint16("usbeth.wvalue", "wValue", base.HEX),
  data = ProtoField.bytes("usbeth.data", "Data"),
  register = ProtoField.uint8("usbeth.register", "Register", base.HEX, reg_vs),
  register_name = ProtoField.string("usbeth.register.name", "Register name"),
  value = ProtoField.uint8("usbeth.value", "Value", base.HEX),
  request_in = ProtoField.framenum("usbeth.request_in", "Request in", base.NONE, frametype.REQUEST),
  response_in = ProtoField.framenum("usbeth.response_in", "Response in", base.NONE,
                                    frametype.RESPONSE),
  urb_status = ProtoField.int32("usbeth.urb_status", "Transfer status", base.DEC),

  -- register fields
  rx_ctl0_rxen = ProtoField.bool("usbeth.rx_ctl0.rx_enable", "Receiver enable", 8, nil, 0x01),
  rx_ctl0_allmc = ProtoField.bool("usbeth.rx_ctl0.all_multicast", "All multicast", 8, nil, 0x02),
  rx_ctl0_txen = ProtoField.bool("usbeth.rx_ctl0.tx_enable", "Transmitter enable", 8, nil, 0x08),
  rx_ctl1_reset = ProtoField.bool("usbeth.rx_ctl1.reset", "Controller reset", 8, nil, 0x08),
  rx_ctl1_100 = ProtoField.bool("usbeth.rx_ctl1.speed_100", "MAC at 100 Mb/s", 8, nil, 0x10),
  rx_ctl1_fd = ProtoField.bool("usbeth.rx_ctl1.full_duplex", "MAC full duplex", 8, nil, 0x20),
  rx_ctl2_bcast = ProtoField.bool("usbeth.rx_ctl2.broadcast", "Accept broadcast", 8, nil, 0x02),
  rx_ctl2_promisc = ProtoField.bool("usbeth.rx_ctl2.promiscuous", "Promiscuous", 8, nil, 0x04),
  station = ProtoField.ether("usbeth.station", "Station address"),
  hash = ProtoField.bytes("usbeth.mcast_hash", "Multicast hash"),
  hash_bits = ProtoField.string("usbeth.mcast_hash.indices", "Hash indices set"),
  alive = ProtoField.uint16("usbeth.alive", "Alive parameter", base.HEX),
  ee_index = ProtoField.uint8("usbeth.eeprom.index", "EEPROM word index", base.DEC),
  ee_word = ProtoField.uint16("usbeth.eeprom.word", "EEPROM word", base.HEX),
  ee_ctl_write = ProtoField.bool("usbeth.eeprom.ctl.write", "Write word", 8, nil, 0x01),
  ee_ctl_read = ProtoField.bool("usbeth.eeprom.ctl.read", "Read word", 8, nil, 0x02),
  ee_ctl_done = ProtoField.bool("usbeth.eeprom.ctl.done", "Done", 8, nil, 0x04),
  ee_done = ProtoField.bool("usbeth.eeprom.done", "EEPROM operation done"),
  ee_command_in = ProtoField.framenum("usbeth.eeprom.command_in", "EEPROM command in",
                                      base.NONE, frametype.REQUEST),
  mii_ctl_reg = ProtoField.uint8("usbeth.mii_ctl.reg", "PHY register", base.DEC, nil, 0x1F),
  mii_ctl_write = ProtoField.bool("usbeth.mii_ctl.write", "Write command", 8, nil, 0x20),
  mii_ctl_read = ProtoField.bool("usbeth.mii_ctl.read", "Read command", 8, nil, 0x40),
  mii_ctl_done = ProtoField.bool("usbeth.mii_ctl.done", "Done", 8, nil, 0x80),
  gpio_p0_in = ProtoField.bool("usbeth.gpio.low.input", "Lower pin input level", 8, nil, 0x01),
  gpio_p0_val = ProtoField.bool("usbeth.gpio.low.value", "Lower pin output value", 8, nil, 0x02),
  gpio_p0_oe = ProtoField.bool("usbeth.gpio.low.enable", "Lower pin output enable", 8, nil, 0x04),
  gpio_p1_in = ProtoField.bool("usbeth.gpio.high.input", "Upper pin input level", 8, nil, 0x08),
  gpio_p1_val = ProtoField.bool("usbeth.gpio.high.value", "Upper pin output value", 8, nil, 0x10),
  gpio_p1_oe = ProtoField.bool("usbeth.gpio.high.enable", "Upper pin output enable", 8, nil,
                               0x20),
  gpio_phy_reset = ProtoField.bool("usbeth.gpio.phy_reset", "PHYs held in reset"),
  gpio_eth_pd = ProtoField.bool("usbeth.gpio.eth_power_down", "Ethernet PHYs powered down"),

  -- MII management
  mii_op = ProtoField.uint8("usbeth.mii.op", "MII operation", base.HEX,
                            { [0x20] = "write", [0x40] = "read" }),
  mii_phy = ProtoField.uint8("usbeth.mii.phy", "PHY address", base.DEC),
  mii_reg = ProtoField.uint8("usbeth.mii.reg", "PHY register", base.DEC, mii_vs),
  mii_value = ProtoField.uint16("usbeth.mii.value", "PHY register value", base.HEX),
  mii_done = ProtoField.bool("usbeth.mii.done", "MII operation done"),
  mii_command_in = ProtoField.framenum("usbeth.mii.command_in", "MII command in", base.NONE,
                                       frametype.REQUEST),
  mii_result_in = ProtoField.framenum("usbeth.mii.result_in", "MII result in", base.NONE,
                                      frametype.RESPONSE),
  bmcr_reset = ProtoField.bool("usbeth.mii.control.reset", "Reset", 16, nil, 0x8000),
  bmcr_loop = ProtoField.bool("usbeth.mii.control.loopback", "Loopback", 16, nil, 0x4000),
  bmcr_100 = ProtoField.bool("usbeth.mii.control.speed_100", "Speed 100 Mb/s", 16, nil, 0x2000),
  bmcr_an = ProtoField.bool("usbeth.mii.control.an_enable", "Auto-negotiation enable", 16, nil,
                            0x1000),
  bmcr_pd = ProtoField.bool("usbeth.mii.control.power_down", "Power down", 16, nil, 0x0800),
  bmcr_iso = ProtoField.bool("usbeth.mii.control.isolate", "Isolate", 16, nil, 0x0400),
  bmcr_restart = ProtoField.bool("usbeth.mii.control.an_restart", "Restart auto-negotiation", 16,
                                 nil, 0x0200),
  bmcr_fd = ProtoField.bool("usbeth.mii.control.full_duplex", "Full duplex", 16, nil, 0x0100),
  bmsr_100fd = ProtoField.bool("usbeth.mii.status.100full", "100BASE-TX full duplex able", 16,
                               nil, 0x4000),
  bmsr_100hd = ProtoField.bool("usbeth.mii.status.100half", "100BASE-TX half duplex able", 16,
                               nil, 0x2000),
  bmsr_10fd = ProtoField.bool("usbeth.mii.status.10full", "10BASE-T full duplex able", 16, nil,
                              0x1000),
  bmsr_10hd = ProtoField.bool("usbeth.mii.status.10half", "10BASE-T half duplex able", 16, nil,
                              0x0800),
  bmsr_anc = ProtoField.bool("usbeth.mii.status.an_complete", "Auto-negotiation complete", 16,
                             nil, 0x0020),
  bmsr_rf = ProtoField.bool("usbeth.mii.status.remote_fault", "Remote fault", 16, nil, 0x0010),
  bmsr_ana = ProtoField.bool("usbeth.mii.status.an_able", "Auto-negotiation able", 16, nil,
                             0x0008),
  bmsr_link = ProtoField.bool("usbeth.mii.status.link", "Link up (latched low)", 16, nil, 0x0004),
  bmsr_jab = ProtoField.bool("usbeth.mii.status.jabber", "Jabber", 16, nil, 0x0002),
  bmsr_ext = ProtoField.bool("usbeth.mii.status.extended", "Extended registers", 16, nil, 0x0001),
  ab_np = ProtoField.bool("usbeth.mii.ability.next_page", "Next page", 16, nil, 0x8000),
  ab_ack = ProtoField.bool("usbeth.mii.ability.ack", "Acknowledge", 16, nil, 0x4000),
  ab_rf = ProtoField.bool("usbeth.mii.ability.remote_fault", "Remote fault", 16, nil, 0x2000),
  ab_pause = ProtoField.bool("usbeth.mii.ability.pause", "Pause", 16, nil, 0x0400),
  ab_t4 = ProtoField.bool("usbeth.mii.ability.100t4", "100BASE-T4", 16, nil, 0x0200),
  ab_100fd = ProtoField.bool("usbeth.mii.ability.100full", "100BASE-TX full duplex", 16, nil,
                             0x0100),
  ab_100hd = ProtoField.bool("usbeth.mii.ability.100half", "100BASE-TX half duplex", 16, nil,
                             0x0080),
  ab_10fd = ProtoField.bool("usbeth.mii.ability.10full", "10BASE-T full duplex", 16, nil, 0x0040),
  ab_10hd = ProtoField.bool("usbeth.mii.ability.10half", "10BASE-T half duplex", 16, nil, 0x0020),
  ab_sel = ProtoField.uint16("usbeth.mii.ability.selector", "Selector", base.DEC,
                             { [1] = "IEEE 802.3" }, 0x001F),
  aner_lpan = ProtoField.bool("usbeth.mii.expansion.partner_an_able",
                              "Link partner auto-negotiation able", 16, nil, 0x0001),
  aner_page = ProtoField.bool("usbeth.mii.expansion.page_received", "Page received", 16, nil,
                              0x0002),
  aner_np = ProtoField.bool("usbeth.mii.expansion.next_page_able", "Next page able", 16, nil,
                            0x0004),
  aner_lpnp = ProtoField.bool("usbeth.mii.expansion.partner_next_page_able",
                              "Link partner next page able", 16, nil, 0x0008),
  aner_pdf = ProtoField.bool("usbeth.mii.expansion.parallel_detection_fault",
                             "Parallel detection fault", 16, nil, 0x0010),

  -- bulk-out
  tx_len = ProtoField.uint16("usbeth.tx.length", "Frame length (prefix)", base.DEC),
  tx_transfer = ProtoField.uint32("usbeth.tx.transfer_length", "Transfer length", base.DEC),
  tx_pad = ProtoField.bytes("usbeth.tx.padding", "Padding"),
  tx_zlp = ProtoField.bool("usbeth.tx.zero_length", "Zero-length transfer"),
  tx_zlp_ends = ProtoField.framenum("usbeth.tx.zero_length_ends", "Ends the transfer in",
                                    base.NONE, frametype.REQUEST),
  tx_zlp_in = ProtoField.framenum("usbeth.tx.zero_length_in", "Zero-length transfer in",
                                  base.NONE, frametype.RESPONSE),
  keepalive = ProtoField.bool("usbeth.keepalive", "Keep-alive transfer"),
  ka_len = ProtoField.uint16("usbeth.keepalive.length", "Transfer length (prefix)", base.DEC),
  ka_marker = ProtoField.uint8("usbeth.keepalive.marker", "Marker (byte 13)", base.HEX),
  ka_rest = ProtoField.bytes("usbeth.keepalive.rest", "Bytes 14..31 (not set by the driver)"),

  -- bulk-in
  rx_transfer = ProtoField.uint32("usbeth.rx.transfer_length", "Transfer length", base.DEC),
  rx_len = ProtoField.uint16("usbeth.rx.frame_length", "Frame length", base.DEC),
  rx_fcs = ProtoField.uint32("usbeth.rx.fcs", "Frame check sequence", base.HEX),
  rx_fcs_good = ProtoField.bool("usbeth.rx.fcs_good", "Frame check sequence correct"),
  rx_tlen = ProtoField.uint16("usbeth.rx.trailer_length", "Trailer length (frame + FCS)",
                              base.DEC, nil, 0x0FFF),
  rx_status = ProtoField.uint8("usbeth.rx.status", "Receive status", base.HEX),
  rx_st_mc = ProtoField.bool("usbeth.rx.status.multicast", "Multicast destination", 8, nil, 0x01),
  rx_st_runt = ProtoField.bool("usbeth.rx.status.runt", "Runt (dropped)", 8, nil, 0x02),
  rx_st_long = ProtoField.bool("usbeth.rx.status.too_long", "Too long (dropped)", 8, nil, 0x04),
  rx_st_crc = ProtoField.bool("usbeth.rx.status.crc_error", "CRC error (dropped, counted)", 8,
                              nil, 0x08),
  rx_st_align = ProtoField.bool("usbeth.rx.status.align_error", "Alignment error (dropped)", 8,
                                nil, 0x10),
  rx_st_bc = ProtoField.bool("usbeth.rx.status.broadcast", "Broadcast destination", 8, nil, 0x20),
  rx_st_match = ProtoField.bool("usbeth.rx.status.address_match", "Station address match", 8, nil,
                                0x40),
  rx_st_b7 = ProtoField.bool("usbeth.rx.status.bit7", "Bit 7 (ignored)", 8, nil, 0x80),
  rx_tpad = ProtoField.uint8("usbeth.rx.trailer_byte3", "Trailer byte 3", base.HEX),
  rx_dropped = ProtoField.bool("usbeth.rx.dropped", "Dropped by the driver"),
}
usbeth.fields = F

local E = {
  bad_status = ProtoExpert.new("usbeth.rx.bad_status", "Receive status marks the frame bad",
                               expert.group.PROTOCOL, expert.severity.WARN),
  too_short = ProtoExpert.new("usbeth.rx.too_short", "Bulk-in transfer too short for a frame",
                              expert.group.MALFORMED, expert.severity.WARN),
  too_long = ProtoExpert.new("usbeth.rx.too_long", "Received frame longer than 1514 bytes",
                             expert.group.PROTOCOL, expert.severity.WARN),
  fcs_bad = ProtoExpert.new("usbeth.rx.fcs_bad", "Frame check sequence wrong",
                            expert.group.CHECKSUM, expert.severity.WARN),
  tlen_mismatch = ProtoExpert.new("usbeth.rx.trailer_length_mismatch",
                                  "Trailer length differs from the transfer",
                                  expert.group.PROTOCOL, expert.severity.NOTE),
  truncated = ProtoExpert.new("usbeth.truncated", "Transfer data not all in the capture",
                              expert.group.UNDECODED, expert.severity.NOTE),
  failed = ProtoExpert.new("usbeth.failed", "Transfer failed", expert.group.RESPONSE_CODE,
                           expert.severity.ERROR),
  cancelled = ProtoExpert.new("usbeth.cancelled", "Transfer cancelled",
                              expert.group.RESPONSE_CODE, expert.severity.NOTE),
  zlp_missing = ProtoExpert.new("usbeth.tx.zero_length_missing",
                                "No zero-length transfer after a multiple of 64 bytes",
                                expert.group.SEQUENCE, expert.severity.WARN),
  zlp_unexpected = ProtoExpert.new("usbeth.tx.zero_length_unexpected",
                                   "Zero-length transfer not after a multiple of 64 bytes",
                                   expert.group.SEQUENCE, expert.severity.NOTE),
  tx_bad_length = ProtoExpert.new("usbeth.tx.bad_length",
                                  "Length prefix does not fit the transfer",
                                  expert.group.MALFORMED, expert.severity.ERROR),
  mii_not_done = ProtoExpert.new("usbeth.mii.not_done", "MII operation not done at read-back",
                                 expert.group.SEQUENCE, expert.severity.NOTE),
  ee_not_done = ProtoExpert.new("usbeth.eeprom.not_done", "EEPROM word read without done bit",
                                expert.group.SEQUENCE, expert.severity.WARN),
  orphan = ProtoExpert.new("usbeth.orphan", "Completion of a request not in the capture",
                           expert.group.SEQUENCE, expert.severity.NOTE),
}
usbeth.experts = E

-- ---------------------------------------------------------------------------
-- Preferences

usbeth.prefs.products = Pref.string("Vendor:product IDs", "1209:0001",
  "Comma-separated vendor:product pairs (hexadecimal) of adapters to decode, " ..
  "recognised from the device descriptor in the capture")
usbeth.prefs.devices = Pref.string("Device addresses", "",
  "Comma-separated bus.device addresses (as in the Source and Destination columns, " ..
  "e.g. 1.5) to decode as the adapter when the capture has no device descriptor")
usbeth.prefs.guess = Pref.bool("Guess from register requests", false,
  "Take a device whose descriptor is not in the capture as the adapter from its " ..
  "first vendor register request (0xF0/0xF1)")
usbeth.prefs.check_fcs = Pref.bool("Check received frame check sequence", true,
  "Compute the CRC-32 of each received frame and compare it with the one the device sent")

local products, device_prefs = {}, {}
local function parse_prefs()
  products, device_prefs = {}, {}
  for v, p in string.gmatch(usbeth.prefs.products or "", "(%x+):(%x+)") do
    products[tonumber(v, 16) * 65536 + tonumber(p, 16)] = true
  end
  for b, d in string.gmatch(usbeth.prefs.devices or "", "(%d+)%.(%d+)") do
    device_prefs[tonumber(b) .. "." .. tonumber(d)] = true
  end
end
parse_prefs()
usbeth.prefs_changed = parse_prefs

-- ---------------------------------------------------------------------------
-- Fields of the USB dissector this one reads

local f_urb_id = Field.new("usb.urb_id")
local f_urb_type = Field.new("usb.urb_type")
local f_xfer_type = Field.new("usb.transfer_type")
local f_endpoint = Field.new("usb.endpoint_address")
local f_device = Field.new("usb.device_address")
local f_bus = Field.new("usb.bus_id")
local f_status = Field.new("usb.urb_status")
local f_urb_len = Field.new("usb.urb_len")
local f_data_len = Field.new("usb.data_len")
local f_request_in = Field.new("usb.request_in")
local f_vendor = Field.new("usb.idVendor")
local f_request_type = Field.new("usb.bmRequestType")
local f_product = Field.new("usb.idProduct")

local eth = Dissector.get("eth_withoutfcs")

-- ---------------------------------------------------------------------------
-- State. The first time a frame is seen after the state was reset (the first
-- pass through the capture, in frame order) decides what it is and what it
-- pairs with, and keeps that per frame; later dissections of the frame (the
-- tree view in Wireshark) only display. The state is reset when a capture is
-- opened or dissected again, which tshark -2 also does between its passes,
-- with pinfo.visited already set: so "seen before" is this state's own record
-- rather than pinfo.visited.

local devices -- "bus.device" -> per-device state
local frames  -- frame number -> record of what the frame is, or false: not the adapter's
local learned -- frame number -> true once its device descriptor, if any, was taken in
local handled -- frame number last handled by the heuristic dissectors

local function reset_state()
  devices, frames, learned, handled = {}, {}, {}, nil
end
reset_state()
usbeth.init = reset_state

local function device_state(key)
  local d = devices[key]
  if not d then
    d = { pending = {}, foreign = {}, descriptor = nil, guessed = false }
    devices[key] = d
  end
  return d
end

local function value_of(field)
  local fi = field()
  if not fi then return nil end
  local v = fi.value
  if type(v) == "string" then v = v:byte(1) end
  return v
end

-- The URB header fields of the frame being dissected.
local function urb_header()
  local xfer, urb_type = value_of(f_xfer_type), value_of(f_urb_type)
  local bus, dev = value_of(f_bus), value_of(f_device)
  -- Only usbmon records carry an URB type ('S', 'C', 'E').
  if xfer == nil or urb_type == nil or bus == nil or dev == nil then return nil end
  local ep = value_of(f_endpoint) or 0
  local id = f_urb_id()
  return {
    key = bus .. "." .. dev,
    submit = urb_type == 83, -- 'S'
    xfer = xfer,
    ep = ep,
    dir_in = B.band(ep, 0x80) ~= 0,
    status = value_of(f_status) or 0,
    urb_len = value_of(f_urb_len) or 0,
    urb_id = id and tostring(id.value) or "",
  }
end

local function is_adapter(h, d)
  if d.descriptor then return products[d.descriptor] == true end
  return device_prefs[h.key] == true or d.guessed
end

-- ---------------------------------------------------------------------------
-- CRC-32 of the Ethernet frame check sequence

local crc_table = {}
for i = 0, 255 do
  local c = i
  for _ = 1, 8 do
    if B.band(c, 1) ~= 0 then c = B.bxor(0xEDB88320, B.rshift(c, 1)) else c = B.rshift(c, 1) end
  end
  crc_table[i] = c
end
local function crc32(s)
  local c = 0xFFFFFFFF
  local band, bxor, rshift = B.band, B.bxor, B.rshift
  for i = 1, #s do
    c = bxor(crc_table[band(bxor(c, s:byte(i)), 0xFF)], rshift(c, 8))
  end
  return bxor(c, 0xFFFFFFFF)
end

-- ---------------------------------------------------------------------------
-- First pass: what a frame is

local function covers(first, count, lo, hi) return first <= lo and first + count - 1 >= hi end

local function errno_name(status)
  local names = { [-2] = "ENOENT", [-104] = "ECONNRESET", [-32] = "EPIPE", [-19] = "ENODEV",
                  [-71] = "EPROTO", [-75] = "EOVERFLOW", [-110] = "ETIMEDOUT",
                  [-121] = "EREMOTEIO", [-22] = "EINVAL", [-108] = "ESHUTDOWN" }
  return names[status] or tostring(status)
end

-- Where bRequest is in the tvb of a control submission: Wireshark 4.0 hands
-- subdissectors the setup packet from bRequest on (it has taken
-- bmRequestType itself), followed by the data; others may include
-- bmRequestType. Nil when this is no register request.
local function register_request_at(tvb)
  local function byte(i) return tvb:len() >= i + 7 and tvb(i, 1):uint() end
  local first, second = byte(0), byte(1)
  if first == 0xF0 or first == 0xF1 then return 0 end
  if (first == 0xC0 and second == 0xF0) or (first == 0x40 and second == 0xF1) then return 1 end
  return nil
end

-- A vendor register request being submitted: tvb holds the setup packet (from
-- bRequest at `at`) and, for a write, the data.
local function analyse_control_submit(tvb, pinfo, h, d, at)
  local request = tvb(at, 1):uint()
  local rec = {
    kind = request == 0xF0 and KIND_READ or KIND_WRITE,
    submit = true,
    at = at,
    request = request,
    reg = tvb(at + 3, 2):le_uint(),
    count = tvb(at + 5, 2):le_uint(),
    wvalue = tvb(at + 1, 2):le_uint(),
  }
  d.pending[h.urb_id] = { frame = pinfo.number, rec = rec }
  if rec.kind == KIND_WRITE then
    local data = at + 7
    local avail = tvb:len() - data
    local function byte_at(r) -- data byte written to register r, when captured
      local i = r - rec.reg
      if i < 0 or i >= rec.count or i >= avail then return nil end
      return tvb(data + i, 1):uint()
    end
    if covers(rec.reg, rec.count, 0x25, 0x28) and byte_at(0x28) then
      local ctl = byte_at(0x28)
      local op = B.band(ctl, 0x60)
      rec.mii = { phy = byte_at(0x25), reg = B.band(ctl, 0x1F), op = op, frame = pinfo.number }
      if op == 0x20 then rec.mii.value = byte_at(0x26) + 256 * byte_at(0x27) end
      d.mii = rec.mii
    end
    if covers(rec.reg, rec.count, 0x20, 0x23) and byte_at(0x23) then
      rec.ee = { index = byte_at(0x20), ctl = byte_at(0x23), frame = pinfo.number }
      d.ee = rec.ee
    end
  end
  return rec
end

local function analyse_control_complete(tvb, pinfo, h, d)
  local p = d.pending[h.urb_id]
  if not p then return { orphan = true, kind = nil, status = h.status } end
  d.pending[h.urb_id] = nil
  local q = p.rec
  q.response_in = pinfo.number
  local rec = {
    kind = q.kind, request = q.request, reg = q.reg, count = q.count,
    request_in = p.frame, status = h.status, submit = false,
  }
  if q.kind ~= KIND_READ or h.status ~= 0 then return rec end
  local avail = tvb:len()
  local function byte_at(r)
    local i = r - q.reg
    if i < 0 or i >= q.count or i >= avail then return nil end
    return tvb(i, 1):uint()
  end
  -- MII read-back: the data registers after a read command, the done bit
  -- after either command.
  local m = d.mii
  if m and (byte_at(0x28) or (byte_at(0x26) and byte_at(0x27))) then
    rec.mii = { phy = m.phy, reg = m.reg, op = m.op, frame = m.frame }
    if byte_at(0x28) then rec.mii.done = B.band(byte_at(0x28), 0x80) ~= 0 end
    if m.op == 0x40 and byte_at(0x26) and byte_at(0x27) then
      rec.mii.value = byte_at(0x26) + 256 * byte_at(0x27)
    elseif m.op == 0x20 then
      rec.mii.value = m.value
    end
    if not m.result_in and (rec.mii.done ~= false) and (m.op ~= 0x40 or rec.mii.value) then
      m.result_in = pinfo.number
    end
  end
  local e = d.ee
  if e and (byte_at(0x23) or (byte_at(0x21) and byte_at(0x22))) then
    rec.ee = { index = e.index, frame = e.frame }
    if byte_at(0x23) then rec.ee.done = B.band(byte_at(0x23), 0x04) ~= 0 end
    if byte_at(0x21) and byte_at(0x22) then
      rec.ee.word = byte_at(0x21) + 256 * byte_at(0x22)
      e.result_in = e.result_in or pinfo.number
    end
  end
  return rec
end

local function analyse_bulk_out(tvb, pinfo, h, d)
  if not h.submit then
    local p = d.pending[h.urb_id]
    d.pending[h.urb_id] = nil
    local rec = { kind = p and p.rec.kind or KIND_TX, submit = false, status = h.status,
                  request_in = p and p.frame }
    if p then p.rec.response_in = pinfo.number end
    return rec
  end
  local length = h.urb_len
  local rec = { submit = true, transfer = length }
  if length == 0 then
    rec.kind = KIND_ZLP
    if d.zlp_expected then
      rec.ends = d.zlp_expected.frame
      d.zlp_expected.zlp_in = pinfo.number
    else
      rec.unexpected = true
    end
    d.zlp_expected = nil
  else
    local prefix = tvb:len() >= 2 and tvb(0, 2):le_uint() or nil
    if length == 32 and prefix == 32 then
      rec.kind = KIND_KEEPALIVE
    else
      rec.kind = KIND_TX
      rec.prefix = prefix
    end
    if d.zlp_expected then rec.zlp_missing = d.zlp_expected.frame end
    d.zlp_expected = nil
    if rec.kind == KIND_TX and length % 64 == 0 then d.zlp_expected = rec; rec.frame = pinfo.number end
  end
  d.pending[h.urb_id] = { frame = pinfo.number, rec = rec }
  return rec
end

local function analyse_bulk_in(tvb, pinfo, h, d)
  if h.submit then
    local rec = { kind = KIND_RX, submit = true, transfer = h.urb_len }
    d.pending[h.urb_id] = { frame = pinfo.number, rec = rec }
    return rec
  end
  local p = d.pending[h.urb_id]
  d.pending[h.urb_id] = nil
  local rec = { kind = KIND_RX, submit = false, status = h.status, transfer = h.urb_len,
                request_in = p and p.frame }
  if p then p.rec.response_in = pinfo.number end
  local n = h.urb_len
  if h.status ~= 0 or n <= 1 then return rec end
  if n < 8 then rec.drop = "too short"; return rec end
  if tvb:len() < n then rec.truncated = true; return rec end
  rec.status_byte = tvb(n - 2, 1):uint()
  rec.frame_len = n - 8
  if B.band(rec.status_byte, 0x1E) ~= 0 then
    rec.drop = "bad status"
  elseif rec.frame_len > 1514 then
    rec.drop = "too long"
  end
  if usbeth.prefs.check_fcs then
    rec.fcs_good = crc32(tvb(0, n - 8):raw()) == tvb(n - 8, 4):le_uint()
  end
  return rec
end

-- ---------------------------------------------------------------------------
-- Display

local function gen(tree, tvb, field, value, text)
  local item
  if text then item = tree:add(field, tvb(0, 0), value, text) else item = tree:add(field, tvb(0, 0), value) end
  item:set_generated()
  return item
end

local function hex_bytes(tvb, offset, count)
  local t = {}
  for i = 0, count - 1 do t[#t + 1] = string.format("%02x", tvb(offset + i, 1):uint()) end
  return table.concat(t, " ")
end

local function add_mii_value_fields(tree, range, reg, value)
  local add = function(f) tree:add_le(f, range) end
  if reg == 0 then
    for _, f in ipairs({ F.bmcr_reset, F.bmcr_loop, F.bmcr_100, F.bmcr_an, F.bmcr_pd, F.bmcr_iso,
                         F.bmcr_restart, F.bmcr_fd }) do add(f) end
  elseif reg == 1 then
    for _, f in ipairs({ F.bmsr_100fd, F.bmsr_100hd, F.bmsr_10fd, F.bmsr_10hd, F.bmsr_anc,
                         F.bmsr_rf, F.bmsr_ana, F.bmsr_link, F.bmsr_jab, F.bmsr_ext }) do add(f) end
  elseif reg == 4 or reg == 5 then
    for _, f in ipairs({ F.ab_np, F.ab_ack, F.ab_rf, F.ab_pause, F.ab_t4, F.ab_100fd, F.ab_100hd,
                         F.ab_10fd, F.ab_10hd, F.ab_sel }) do add(f) end
  elseif reg == 6 then
    for _, f in ipairs({ F.aner_pdf, F.aner_lpnp, F.aner_np, F.aner_page, F.aner_lpan }) do add(f) end
  end
end

local function mii_summary(m)
  local s = string.format("MII %s PHY %d reg %d (%s)", m.op == 0x20 and "write" or
                          (m.op == 0x40 and "read" or string.format("command 0x%02x", m.op)),
                          m.phy, m.reg, mii_vs[m.reg])
  if m.value then s = s .. string.format(" = 0x%04x", m.value) end
  return s
end

-- One register's value, with its fields.
local function add_register(tree, range, r)
  local v = range:uint()
  local item = tree:add(F.register, range, r)
  item:set_text(string.format("%s = 0x%02x", reg_label(r), v))
  -- The name as a field of its own, for filters and field output.
  item:add(F.register_name, range, reg_label(r)):set_hidden()
  local sub = item:add(F.value, range)
  if r == 0x00 then
    for _, f in ipairs({ F.rx_ctl0_rxen, F.rx_ctl0_allmc, F.rx_ctl0_txen }) do
      sub:add(f, range)
    end
  elseif r == 0x01 then
    for _, f in ipairs({ F.rx_ctl1_reset, F.rx_ctl1_100, F.rx_ctl1_fd }) do sub:add(f, range) end
  elseif r == 0x02 then
    for _, f in ipairs({ F.rx_ctl2_bcast, F.rx_ctl2_promisc }) do sub:add(f, range) end
  elseif r == 0x23 then
    for _, f in ipairs({ F.ee_ctl_write, F.ee_ctl_read, F.ee_ctl_done }) do sub:add(f, range) end
  elseif r == 0x28 then
    for _, f in ipairs({ F.mii_ctl_reg, F.mii_ctl_write, F.mii_ctl_read, F.mii_ctl_done }) do
      sub:add(f, range)
    end
  elseif r >= 0x7C and r <= 0x81 then
    for _, f in ipairs({ F.gpio_p0_in, F.gpio_p0_val, F.gpio_p0_oe, F.gpio_p1_in, F.gpio_p1_val,
                         F.gpio_p1_oe }) do sub:add(f, range) end
    if r == 0x7E then
      -- Pin 0: PHY reset, active low, pulled up; pin 1: Ethernet PHY power-down,
      -- active high, pulled down. A pin not driven floats to its pull.
      local held = B.band(v, 0x04) ~= 0 and B.band(v, 0x02) == 0
      local down = B.band(v, 0x20) ~= 0 and B.band(v, 0x10) ~= 0
      gen(sub, range:tvb(), F.gpio_phy_reset, held)
      gen(sub, range:tvb(), F.gpio_eth_pd, down)
    end
  end
end

-- Registers first .. first+count-1 whose bytes are at tvb offset..; the
-- quantities spanning several registers are shown whole as well.
local function add_registers(tree, tvb, offset, first, count)
  local avail = math.min(count, tvb:len() - offset)
  if avail <= 0 then return end
  tree:add(F.data, tvb(offset, avail))
  local function range_of(lo, hi)
    if not covers(first, avail, lo, hi) then return nil end
    return tvb(offset + lo - first, hi - lo + 1)
  end
  local r = range_of(0x10, 0x15)
  if r then tree:add(F.station, r) end
  r = range_of(0x08, 0x0F)
  if r then
    local item = tree:add(F.hash, r)
    local set = {}
    for i = 0, 63 do
      if B.band(r(math.floor(i / 8), 1):uint(), B.lshift(1, i % 8)) ~= 0 then set[#set + 1] = i end
    end
    local text = #set == 64 and "all 64" or (#set == 0 and "none" or table.concat(set, ","))
    gen(item, tvb, F.hash_bits, text)
  end
  r = range_of(0x1C, 0x1D)
  if r then tree:add_le(F.alive, r) end
  for i = 0, avail - 1 do add_register(tree, tvb(offset + i, 1), first + i) end
end

local function add_mii_command(tree, tvb, offset, first, rec)
  local m = rec.mii
  local sub = tree:add(usbeth, tvb(offset, rec.count < tvb:len() - offset and rec.count or
                                      tvb:len() - offset), "MII command: " .. mii_summary(m))
  sub:add(F.mii_phy, tvb(offset + 0x25 - first, 1))
  sub:add(F.mii_op, tvb(offset + 0x28 - first, 1), m.op)
  sub:add(F.mii_reg, tvb(offset + 0x28 - first, 1), m.reg)
  if m.op == 0x20 then
    local vr = tvb(offset + 0x26 - first, 2)
    local vi = sub:add_le(F.mii_value, vr)
    add_mii_value_fields(vi, vr, m.reg, m.value)
  end
  if m.result_in then gen(sub, tvb, F.mii_result_in, m.result_in) end
end

local function add_mii_result(tree, tvb, rec)
  local m = rec.mii
  local text = "MII result: " .. mii_summary(m)
  if m.done ~= nil then text = text .. (m.done and ", done" or ", not done") end
  if m.op == 0x40 and m.reg == 1 and (m.value == 0 or m.value == 0xFFFF) then
    text = text .. " (no PHY answers at this address)"
  end
  local sub = tree:add(usbeth, tvb(0, 0), text)
  gen(sub, tvb, F.mii_phy, m.phy)
  gen(sub, tvb, F.mii_op, m.op)
  gen(sub, tvb, F.mii_reg, m.reg)
  if m.value then
    local lo = 0x26 - rec.reg
    if m.op == 0x40 and lo >= 0 and lo + 1 < tvb:len() then
      local vr = tvb(lo, 2)
      local vi = sub:add_le(F.mii_value, vr)
      add_mii_value_fields(vi, vr, m.reg, m.value)
    else
      gen(sub, tvb, F.mii_value, m.value)
    end
  end
  if m.done ~= nil then
    local di = gen(sub, tvb, F.mii_done, m.done)
    if not m.done then di:add_proto_expert_info(E.mii_not_done) end
  end
  gen(sub, tvb, F.mii_command_in, m.frame)
end

local function add_ee_result(tree, tvb, rec)
  local e = rec.ee
  local text = string.format("EEPROM word %d", e.index)
  if e.word then text = text .. string.format(" = 0x%04x", e.word) end
  if e.done ~= nil then text = text .. (e.done and ", done" or ", not done") end
  local sub = tree:add(usbeth, tvb(0, 0), text)
  gen(sub, tvb, F.ee_index, e.index)
  if e.word then gen(sub, tvb, F.ee_word, e.word) end
  if e.done ~= nil then
    gen(sub, tvb, F.ee_done, e.done)
    if e.word and not e.done then sub:add_proto_expert_info(E.ee_not_done) end
  end
  gen(sub, tvb, F.ee_command_in, e.frame)
end

local function status_expert(item, status)
  if status == 0 then return end
  if status == -2 or status == -104 or status == -108 then
    item:add_proto_expert_info(E.cancelled, "Transfer cancelled (" .. errno_name(status) .. ")")
  else
    item:add_proto_expert_info(E.failed, "Transfer failed (" .. errno_name(status) ..
                               "); the driver takes the adapter as failed until a reset")
  end
end

local function register_range_text(rec)
  local last = rec.reg + rec.count - 1
  if rec.count <= 1 then return reg_short(rec.reg) end
  return reg_short(rec.reg) .. ".." .. reg_short(last)
end

local function show_control(tvb, pinfo, tree, rec)
  pinfo.cols.protocol = "USBETH"
  local root = tree:add(usbeth, tvb())
  if rec.orphan then
    root:append_text(": completion of a register request not in the capture")
    root:add_proto_expert_info(E.orphan)
    pinfo.cols.info = "Register request completion (request not captured)"
    return
  end
  gen(root, tvb, F.kind, rec.kind)
  local what = rec.kind == KIND_READ and "Read" or "Write"
  local info
  if rec.submit then
    local at = rec.at
    local data = at + 7
    root:add(F.request, tvb(at, 1))
    root:add_le(F.reg, tvb(at + 3, 2))
    root:add_le(F.count, tvb(at + 5, 2))
    root:add_le(F.wvalue, tvb(at + 1, 2))
    info = string.format("%s %s (%d)", what, register_range_text(rec), rec.count)
    if rec.kind == KIND_WRITE then
      add_registers(root, tvb, data, rec.reg, rec.count)
      local avail = math.min(rec.count, tvb:len() - data)
      if avail > 0 then info = info .. ": " .. hex_bytes(tvb, data, avail) end
      if avail < rec.count then root:add_proto_expert_info(E.truncated) end
      if rec.mii then
        add_mii_command(root, tvb, data, rec.reg, rec)
        info = info .. " — " .. mii_summary(rec.mii)
      end
      if rec.ee then
        local op = B.band(rec.ee.ctl, 0x02) ~= 0 and "read" or
                   (B.band(rec.ee.ctl, 0x01) ~= 0 and "write" or "command")
        local sub = root:add(usbeth, tvb(data, avail),
                             string.format("EEPROM %s of word %d", op, rec.ee.index))
        sub:add(F.ee_index, tvb(data + 0x20 - rec.reg, 1))
        info = info .. string.format(" — EEPROM %s word %d", op, rec.ee.index)
      end
    end
    if rec.response_in then gen(root, tvb, F.response_in, rec.response_in) end
  else
    gen(root, tvb, F.request, rec.request)
    gen(root, tvb, F.reg, rec.reg)
    gen(root, tvb, F.count, rec.count)
    gen(root, tvb, F.request_in, rec.request_in)
    info = string.format("%s %s done", what, register_range_text(rec))
    if rec.status ~= 0 then
      gen(root, tvb, F.urb_status, rec.status)
      status_expert(root, rec.status)
      info = string.format("%s %s failed (%s)", what, register_range_text(rec),
                           errno_name(rec.status))
    elseif rec.kind == KIND_READ then
      add_registers(root, tvb, 0, rec.reg, rec.count)
      local avail = math.min(rec.count, tvb:len())
      info = string.format("%s %s → %s", what, register_range_text(rec), hex_bytes(tvb, 0, avail))
      if rec.mii then
        add_mii_result(root, tvb, rec)
        info = info .. " — " .. mii_summary(rec.mii) ..
               (rec.mii.done == nil and "" or (rec.mii.done and ", done" or ", not done"))
      end
      if rec.ee then
        add_ee_result(root, tvb, rec)
        if rec.ee.word then
          info = info .. string.format(" — EEPROM word %d = 0x%04x", rec.ee.index, rec.ee.word)
        elseif rec.ee.done ~= nil then
          info = info .. string.format(" — EEPROM word %d %s", rec.ee.index,
                                       rec.ee.done and "ready" or "not ready")
        end
      end
    end
  end
  root:append_text(": " .. info)
  pinfo.cols.info = info
end

local function show_bulk_out(tvb, pinfo, tree, rec)
  local root = tree:add(usbeth, tvb())
  gen(root, tvb, F.kind, rec.kind)
  if not rec.submit then
    gen(root, tvb, F.request_in, rec.request_in)
    local text = kind_vs[rec.kind] .. " done"
    if rec.status ~= 0 then
      gen(root, tvb, F.urb_status, rec.status)
      status_expert(root, rec.status)
      text = kind_vs[rec.kind] .. " failed (" .. errno_name(rec.status) .. ")"
    end
    root:append_text(": " .. text)
    pinfo.cols.protocol = "USBETH"
    pinfo.cols.info = text
    return
  end
  gen(root, tvb, F.tx_transfer, rec.transfer)
  if rec.response_in then gen(root, tvb, F.response_in, rec.response_in) end
  if rec.zlp_missing then
    root:add_proto_expert_info(E.zlp_missing, string.format(
      "The transfer in frame %d was a multiple of 64 bytes; no zero-length transfer followed",
      rec.zlp_missing))
  end
  if rec.kind == KIND_ZLP then
    gen(root, tvb, F.tx_zlp, true)
    local text = "Zero-length transfer"
    if rec.ends then
      gen(root, tvb, F.tx_zlp_ends, rec.ends)
      text = text .. string.format(" (ends the transfer in frame %d)", rec.ends)
    else
      root:add_proto_expert_info(E.zlp_unexpected)
    end
    root:append_text(": " .. text)
    pinfo.cols.protocol = "USBETH"
    pinfo.cols.info = text
    return
  end
  if rec.kind == KIND_KEEPALIVE then
    gen(root, tvb, F.keepalive, true)
    root:add_le(F.ka_len, tvb(0, 2))
    if tvb:len() >= 14 then root:add(F.ka_marker, tvb(13, 1)) end
    if tvb:len() >= 32 then root:add(F.ka_rest, tvb(14, 18)) end
    root:append_text(": keep-alive")
    pinfo.cols.protocol = "USBETH"
    pinfo.cols.info = "Keep-alive (32 bytes)"
    return
  end
  local avail = tvb:len()
  if not rec.prefix then
    root:add_proto_expert_info(E.tx_bad_length, "Transfer shorter than its length prefix")
    return
  end
  root:add_le(F.tx_len, tvb(0, 2))
  local n = rec.prefix
  local text = string.format("frame of %d bytes in a %d-byte transfer", n, rec.transfer)
  root:append_text(": " .. text)
  if n + 2 > rec.transfer then
    root:add_proto_expert_info(E.tx_bad_length)
  elseif rec.transfer ~= math.max(n + 2, 60) then
    root:add_proto_expert_info(E.tx_bad_length, string.format(
      "Transfer of %d bytes for a %d-byte frame (expected %d)", rec.transfer, n,
      math.max(n + 2, 60)))
  end
  if rec.zlp_in then gen(root, tvb, F.tx_zlp_in, rec.zlp_in) end
  local frame_bytes = math.min(n, avail - 2)
  if avail > 2 + n and rec.transfer > n + 2 then root:add(F.tx_pad, tvb(2 + n, avail - 2 - n)) end
  if frame_bytes < n then root:add_proto_expert_info(E.truncated) end
  if frame_bytes > 0 then eth:call(tvb(2, frame_bytes):tvb(), pinfo, tree) end
end

local function show_bulk_in(tvb, pinfo, tree, rec)
  local root = tree:add(usbeth, tvb())
  gen(root, tvb, F.kind, rec.kind)
  gen(root, tvb, F.rx_transfer, rec.transfer)
  if rec.submit then
    if rec.response_in then gen(root, tvb, F.response_in, rec.response_in) end
    root:append_text(string.format(": read of up to %d bytes", rec.transfer))
    pinfo.cols.protocol = "USBETH"
    pinfo.cols.info = string.format("Bulk-in read of up to %d bytes", rec.transfer)
    return
  end
  if rec.request_in then gen(root, tvb, F.request_in, rec.request_in) end
  local text
  if rec.status ~= 0 then
    gen(root, tvb, F.urb_status, rec.status)
    status_expert(root, rec.status)
    text = "Bulk-in read ended (" .. errno_name(rec.status) .. ")"
  elseif rec.transfer <= 1 then
    text = string.format("Bulk-in transfer of %d bytes: no frame", rec.transfer)
  elseif rec.truncated then
    root:add_proto_expert_info(E.truncated)
    text = "Bulk-in transfer, trailer not captured"
  elseif rec.drop == "too short" then
    gen(root, tvb, F.rx_dropped, true)
    root:add_proto_expert_info(E.too_short, string.format(
      "Transfer of %d bytes is shorter than the 8 bytes after a frame; the driver drops it",
      rec.transfer))
    text = string.format("Bulk-in transfer of %d bytes: too short, dropped", rec.transfer)
  end
  if text then
    root:append_text(": " .. text)
    pinfo.cols.protocol = "USBETH"
    pinfo.cols.info = text
    return
  end
  local n = rec.transfer
  gen(root, tvb, F.rx_len, rec.frame_len)
  local fcs = root:add_le(F.rx_fcs, tvb(n - 8, 4))
  if rec.fcs_good ~= nil then
    gen(fcs, tvb, F.rx_fcs_good, rec.fcs_good)
    -- A wrong sequence is news only when the status does not already say so.
    if not rec.fcs_good and B.band(rec.status_byte, 0x08) == 0 then
      fcs:add_proto_expert_info(E.fcs_bad, "Frame check sequence wrong, yet the receive status " ..
                                "reports no CRC error")
    end
  end
  local trailer = root:add(usbeth, tvb(n - 4, 4), "Trailer")
  local tl = trailer:add_le(F.rx_tlen, tvb(n - 4, 2))
  if B.band(tvb(n - 4, 2):le_uint(), 0x0FFF) ~= B.band(n - 4, 0x0FFF) then
    tl:add_proto_expert_info(E.tlen_mismatch)
  end
  local st = trailer:add(F.rx_status, tvb(n - 2, 1))
  for _, f in ipairs({ F.rx_st_mc, F.rx_st_runt, F.rx_st_long, F.rx_st_crc, F.rx_st_align,
                       F.rx_st_bc, F.rx_st_match, F.rx_st_b7 }) do
    st:add(f, tvb(n - 2, 1))
  end
  trailer:add(F.rx_tpad, tvb(n - 1, 1))
  gen(root, tvb, F.rx_dropped, rec.drop ~= nil)
  local summary = string.format("frame of %d bytes, status 0x%02x", rec.frame_len, rec.status_byte)
  if rec.drop == "bad status" then
    local why = {}
    local names = { [0x02] = "runt", [0x04] = "too long", [0x08] = "CRC error",
                    [0x10] = "alignment error" }
    for _, b in ipairs({ 0x02, 0x04, 0x08, 0x10 }) do
      if B.band(rec.status_byte, b) ~= 0 then why[#why + 1] = names[b] end
    end
    local reason = table.concat(why, ", ")
    st:add_proto_expert_info(E.bad_status, string.format(
      "Receive status 0x%02x (%s): the driver drops the frame%s", rec.status_byte, reason,
      B.band(rec.status_byte, 0x08) ~= 0 and " and counts a CRC error" or ""))
    summary = summary .. " (" .. reason .. "), dropped"
  elseif rec.drop == "too long" then
    root:add_proto_expert_info(E.too_long, string.format(
      "Frame of %d bytes is longer than 1514; the driver drops it", rec.frame_len))
    summary = summary .. ", too long, dropped"
  end
  root:append_text(": " .. summary)
  if rec.frame_len > 0 then eth:call(tvb(0, rec.frame_len):tvb(), pinfo, tree) end
  if rec.drop then
    pinfo.cols.protocol = "USBETH"
    pinfo.cols.info = "Dropped: " .. summary
  end
end

-- ---------------------------------------------------------------------------
-- Entry points

local function record_for(tvb, pinfo, h, d, analyse)
  local rec = frames[pinfo.number]
  if rec then return rec end
  rec = analyse(tvb, pinfo, h, d)
  frames[pinfo.number] = rec
  return rec
end

local function adapter_frame(pinfo, h)
  local rec = frames[pinfo.number]
  if rec ~= nil then return rec ~= false end
  if is_adapter(h, device_state(h.key)) then return true end
  frames[pinfo.number] = false
  return false
end

local function heur_control(tvb, pinfo, tree)
  local h = urb_header()
  if not h or h.xfer ~= 2 then return false end
  local d = device_state(h.key)
  if h.submit then
    local at = register_request_at(tvb)
    local rt = value_of(f_request_type)
    if not at or (rt and rt ~= 0xC0 and rt ~= 0x40) then
      -- Another vendor or class request: its completion is not ours either.
      d.foreign[h.urb_id] = true
      return false
    end
    if frames[pinfo.number] == nil and not d.descriptor and usbeth.prefs.guess then
      d.guessed = true
    end
    if not adapter_frame(pinfo, h) then return false end
    handled = pinfo.number
    local rec = record_for(tvb, pinfo, h, d, function(t, p, hh, dd)
      return analyse_control_submit(t, p, hh, dd, at)
    end)
    show_control(tvb, pinfo, tree, rec)
    return true
  end
  if not adapter_frame(pinfo, h) then return false end
  if frames[pinfo.number] == nil and d.foreign[h.urb_id] then
    d.foreign[h.urb_id] = nil
    return false
  end
  handled = pinfo.number
  show_control(tvb, pinfo, tree, record_for(tvb, pinfo, h, d, analyse_control_complete))
  return true
end

local function heur_bulk(tvb, pinfo, tree)
  local h = urb_header()
  if not h or h.xfer ~= 3 or not adapter_frame(pinfo, h) then return false end
  local d = device_state(h.key)
  handled = pinfo.number
  if h.dir_in then
    show_bulk_in(tvb, pinfo, tree, record_for(tvb, pinfo, h, d, analyse_bulk_in))
  else
    show_bulk_out(tvb, pinfo, tree, record_for(tvb, pinfo, h, d, analyse_bulk_out))
  end
  return true
end

usbeth:register_heuristic("usb.control", heur_control)
usbeth:register_heuristic("usb.bulk", heur_bulk)

-- Post-dissector: learns device descriptors, and shows the adapter's
-- transfers that carried no data, which reach no subdissector.
function usbeth.dissector(tvb, pinfo, tree)
  local h = urb_header()
  if not h then return end
  if not learned[pinfo.number] then
    learned[pinfo.number] = true
    local vendor, product = value_of(f_vendor), value_of(f_product)
    if vendor and product and not h.submit then
      -- A device descriptor; another device at this address starts afresh.
      local id = vendor * 65536 + product
      if device_state(h.key).descriptor ~= id then
        devices[h.key] = nil
        device_state(h.key).descriptor = id
      end
    end
  end
  if handled == pinfo.number or (h.xfer ~= 2 and h.xfer ~= 3) then return end
  -- A control completion whose submission is in the capture went to the
  -- heuristic dissector (or is a standard request); one without reaches
  -- nobody: the capture began while it was in flight.
  if h.xfer == 2 and (h.submit or f_request_in()) then return end
  if not adapter_frame(pinfo, h) then return end
  local d = device_state(h.key)
  -- The URB's data is at the end of the record, after the usbmon header.
  local captured = value_of(f_data_len) or 0
  local payload = tvb(math.max(tvb:len() - captured, 0)):tvb()
  if h.xfer == 2 then
    if frames[pinfo.number] == nil and d.foreign[h.urb_id] then
      d.foreign[h.urb_id] = nil
      return
    end
    show_control(payload, pinfo, tree, record_for(payload, pinfo, h, d, analyse_control_complete))
  elseif h.dir_in then
    show_bulk_in(payload, pinfo, tree, record_for(payload, pinfo, h, d, analyse_bulk_in))
  else
    show_bulk_out(payload, pinfo, tree, record_for(payload, pinfo, h, d, analyse_bulk_out))
  end
end
register_postdissector(usbeth)
