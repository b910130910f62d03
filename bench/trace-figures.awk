# Reads the byte trace of one update, every line prefixed by the time it was
# written ("STAMP TERMINAL DIRECTION BYTES..."), and prints:
#   download_s     time from the download start frame to the final
#                  confirmation, summed over the downloads
#   payload_bytes  data bytes of the blocks the terminal accepted
#   blocks         data blocks sent
#   wire_bytes     every byte of every frame both ways, but the application
#                  list exchange, which the simulator answers unpaced, and the
#                  activation exchange, whose time on the line passes within
#                  the 20-second pause that follows the request
# and appends to the file `blocks` one line per block: "rtt SECONDS" (block
# written to answer read) and "turnaround SECONDS" (answer read to next block
# written).
function hex(text,    i, v) {
    v = 0
    for (i = 1; i <= length(text); i++)
        v = v * 16 + index("0123456789ABCDEF", substr(text, i, 1)) - 1
    return v
}

$3 == "-" || $4 !~ /^[0-9A-F][0-9A-F]$/ { next }

{
    t = $1; n = NF - 3; out = ($3 == ">")
    if (!(n == 32 && ($4 == "01" || $4 == "05")))
        wire += n
}

out && n == 32 && $4 == "04" { state = "start"; start = t; next }
!out && state == "start" { state = "blocks"; answered = t; next }
out && n == 128 && (state == "blocks" || state == "sent") {
    if (state == "blocks")
        print "turnaround", t - answered >> blocks
    state = "sent"; sent = t; pending = hex($7); ++count
    next
}
!out && state == "sent" {
    print "rtt", t - sent >> blocks
    if ($6 == "55")
        payload += pending
    state = "blocks"; answered = t
    next
}
!out && state == "blocks" { download += t - start; state = ""; next }

END {
    printf "download_s=%.6f\npayload_bytes=%d\nblocks=%d\nwire_bytes=%d\n", download, payload, count, wire
}
