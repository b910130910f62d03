# Reads the transcript of one update (mirdal-cli install --trace, one JSON
# object a line), every line prefixed by the time mirdal-linestamp saw it
# arrive, and prints:
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

# The value of a top-level field, without its quotes; empty when absent.
function field(name,    key, value) {
    key = "\"" name "\":"
    if (!match($0, key "(\"[^\"]*\"|[^,}]*)"))
        return ""
    value = substr($0, RSTART + length(key), RLENGTH - length(key))
    gsub(/"/, "", value)
    return value
}

{ dir = field("dir") }
dir == "event" || field("sent") == "false" { next }

{
    t = $1; out = (dir == "pc")
    kind = out ? field("kind") : field("to")
    if (out && kind == "block")
        n = 128
    else if (field("length") != "")
        n = field("length") + 0
    else
        n = split(field("hex"), bytes, " ")
    if (kind != "list" && kind != "activate")
        wire += n
}

out && kind == "download-start" { state = "start"; start = t; next }
!out && state == "start" { state = "blocks"; answered = t; next }
out && kind == "block" && (state == "blocks" || state == "sent") {
    if (state == "blocks")
        print "turnaround", t - answered >> blocks
    state = "sent"; sent = t; pending = field("count") + 0; ++count
    next
}
!out && state == "sent" {
    print "rtt", t - sent >> blocks
    if (bytes[3] == "55")
        payload += pending
    state = "blocks"; answered = t
    next
}
!out && state == "blocks" { download += t - start; state = ""; next }

END {
    printf "download_s=%.6f\npayload_bytes=%d\nblocks=%d\nwire_bytes=%d\n", download, payload, count, wire
}
