package com.tavrix.tools.comm;

import java.util.ArrayList;
import java.util.List;

/**
 * Holds one port's exchanges against what its instrument logged. The log
 * lists every sending the instrument received, in order; the sendings of one
 * exchange (the command and its resends) are consecutive and equal, and the
 * next exchange's command differs. So each exchange owns the run of log
 * entries that carry its command, and:
 * <ul>
 * <li>a reply must be, byte for byte, the frame meant for the last of them,
 *     the one the library resent last, and every sending before it must have
 *     lost its reply on purpose;
 * <li>an exchange without a reply must end in 100301 after four sendings,
 *     each of which lost its reply on purpose.
 * </ul>
 * One reply may go untaken without a fault: the first one, when it was
 * complete before the caller waited for it (a late caller). The worker looks
 * for a frame only in a cycle that brings bytes, so that wait times out and
 * the reply to the resend is taken.
 */
final class SoakCheck {
    private static final int ERR_RS_TIMEOUT = 100301;
    private static final int WAITS_PER_RECEIVE = 4;
    private static final int REPORTED_MISMATCHES = 10;
    // How long a caller may take from its RecRS call into the wait, on a busy machine.
    private static final long WAIT_ENTRY_TOLERANCE_NS = 20_000_000L;

    final String family;
    int exchanges;
    int verified;
    int lost;
    int lostAccounted;
    int mismatches;
    int sendings;
    int delays;
    int splits;
    int garbage;
    int silences;
    int badFrames;
    int outageSendings;
    int lateCallers;
    int earlyReplies;
    int earlyRepliesUnforced;
    long exchangeNanos;
    long longestNanos;
    final List<String> mismatchDetails = new ArrayList<>();

    private SoakCheck(String family) {
        this.family = family;
    }

    static SoakCheck of(Family family, List<SoakPort.Exchange> exchanges, List<SoakInstrument.Entry> entries) {
        SoakCheck check = new SoakCheck(family.name());
        check.countFaults(entries);
        int next = 0;
        for (SoakPort.Exchange exchange : exchanges) {
            String command = Frames.hex(exchange.command());
            int first = next;
            while (next < entries.size() && entries.get(next).command().equals(command)) {
                next++;
            }
            check.hold(exchange, entries.subList(first, next));
        }
        if (next != entries.size()) {
            check.mismatch("the instrument received " + (entries.size() - next)
                    + " sendings after the last exchange, first " + entries.get(next).command());
        }
        return check;
    }

    private void countFaults(List<SoakInstrument.Entry> entries) {
        sendings = entries.size();
        for (SoakInstrument.Entry entry : entries) {
            delays += entry.delayMs() > 0 ? 1 : 0;
            splits += entry.pieces() > 1 ? 1 : 0;
            garbage += entry.garbage() > 0 ? 1 : 0;
            silences += entry.fault().equals("silence") ? 1 : 0;
            badFrames += entry.fault().equals("bad-frame") ? 1 : 0;
            outageSendings += entry.fault().equals("outage") ? 1 : 0;
        }
    }

    private void hold(SoakPort.Exchange exchange, List<SoakInstrument.Entry> sendings) {
        exchanges++;
        exchangeNanos += exchange.nanos();
        longestNanos = Math.max(longestNanos, exchange.nanos());
        String command = Frames.hex(exchange.command());
        if (sendings.isEmpty()) {
            mismatch("command " + command + " (result " + exchange.result() + ") never reached the instrument");
            return;
        }
        lateCallers += exchange.lateCaller() ? 1 : 0;
        boolean earlierLost = earlierRepliesExplained(exchange, sendings.subList(0, sendings.size() - 1));
        SoakInstrument.Entry last = sendings.get(sendings.size() - 1);
        if (exchange.result() == 0) {
            String reply = Frames.hex(exchange.reply());
            if (earlierLost && !last.lost() && reply.equals(last.meant())) {
                verified++;
            } else {
                mismatch("command " + command + ": reply " + reply + ", sendings " + sendings);
            }
        } else {
            lost++;
            if (exchange.receiveResult() == ERR_RS_TIMEOUT && sendings.size() == WAITS_PER_RECEIVE
                    && earlierLost && last.lost()) {
                lostAccounted++;
            } else {
                mismatch("command " + command + ": result " + exchange.sendResult() + "/"
                        + exchange.receiveResult() + ", sendings " + sendings);
            }
        }
    }

    private boolean earlierRepliesExplained(SoakPort.Exchange exchange, List<SoakInstrument.Entry> before) {
        for (int i = 0; i < before.size(); i++) {
            SoakInstrument.Entry entry = before.get(i);
            if (entry.lost()) {
                continue;
            }
            if (i > 0 || entry.sentAtNanos() == 0
                    || entry.sentAtNanos() >= exchange.receiveCalledNanos() + WAIT_ENTRY_TOLERANCE_NS) {
                return false;
            }
            earlyReplies++;
            earlyRepliesUnforced += exchange.lateCaller() ? 0 : 1;
        }
        return true;
    }

    private void mismatch(String what) {
        mismatches++;
        if (mismatchDetails.size() < REPORTED_MISMATCHES) {
            mismatchDetails.add(family + ": " + what);
        }
    }

    static SoakCheck total(List<SoakCheck> ports) {
        SoakCheck sum = new SoakCheck("all");
        for (SoakCheck port : ports) {
            sum.exchanges += port.exchanges;
            sum.verified += port.verified;
            sum.lost += port.lost;
            sum.lostAccounted += port.lostAccounted;
            sum.mismatches += port.mismatches;
            sum.sendings += port.sendings;
            sum.delays += port.delays;
            sum.splits += port.splits;
            sum.garbage += port.garbage;
            sum.silences += port.silences;
            sum.badFrames += port.badFrames;
            sum.outageSendings += port.outageSendings;
            sum.lateCallers += port.lateCallers;
            sum.earlyReplies += port.earlyReplies;
            sum.earlyRepliesUnforced += port.earlyRepliesUnforced;
            sum.exchangeNanos += port.exchangeNanos;
            sum.longestNanos = Math.max(sum.longestNanos, port.longestNanos);
            sum.mismatchDetails.addAll(port.mismatchDetails);
        }
        return sum;
    }

    static String header() {
        return String.format("%-7s %9s %9s %5s %9s %10s %9s %7s %7s %7s %8s %9s %7s %5s %6s %8s %8s",
                "family", "exchanges", "verified", "lost", "accounted", "mismatches", "sendings", "delays",
                "splits", "garbage", "silences", "badframes", "outage", "late", "early", "mean_ms", "max_ms");
    }

    String row() {
        double mean = exchanges == 0 ? 0 : exchangeNanos / 1e6 / exchanges;
        return String.format("%-7s %9d %9d %5d %9d %10d %9d %7d %7d %7d %8d %9d %7d %5d %6d %8.1f %8.1f",
                family, exchanges, verified, lost, lostAccounted, mismatches, sendings, delays, splits, garbage,
                silences, badFrames, outageSendings, lateCallers, earlyReplies, mean, longestNanos / 1e6);
    }
}
