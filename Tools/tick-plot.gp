# Draws the ticks of one emulated-PC run. plot-ticks.sh calls it with five arguments:
#   1 a table of tick index, interval and lead, in TSC ticks (the interval runs from the previous
#     tick's interrupt, the lead from this tick's interrupt to the deadline it armed)
#   2 the SVG file to write
#   3 the title: the scenario and the run's figures
#   4 the requested period in TSC ticks
#   5 the handler's longest run in TSC ticks: every lead should lie in [period, period + cost]
data = ARG1
title = ARG3
period = real(ARG4)
cost = real(ARG5)
set terminal svg size 960,1040 dynamic enhanced font "sans,11" background rgb "white"
set output ARG2
set grid
set lmargin 12
set rmargin 30
set key outside right top

stats data using 1 name "TICK" nooutput
stats data using 2 name "INTERVAL" nooutput
stats data using 3 name "LEAD" nooutput
# Each panel's range takes in its reference lines with a margin, so that none lies on an edge.
low(a, b) = a < b ? a : b
high(a, b) = a > b ? a : b
margin(lo, hi) = (hi > lo ? hi - lo : (hi > 0 ? hi : 1)) * 0.1

# The histogram's bins, counted before any range is set.
first = low(INTERVAL_min, period); last = high(INTERVAL_max, period)
BINS = 30
width = (last - first) / BINS > 1 ? (last - first) / BINS : 1
bin(x) = first + (floor((x - first) / width) + 0.5) * width
set table $Histogram
# Tick 0 is left out: its interval runs from the TSC read before SetTimerPeriod, not from a tick.
plot data using (bin($2)):($1 > 0 ? 1 : 0) smooth frequency
unset table
stats $Histogram using 2 name "COUNT" nooutput

set multiplot layout 3,1 title title font "sans,12"

set xlabel "tick"
set ylabel "TSC ticks"
set xrange [TICK_min - 1 : TICK_max + 1]
lo = low(INTERVAL_min, period); hi = high(INTERVAL_max, period)
set yrange [lo - margin(lo, hi) : hi + margin(lo, hi)]
set title "Interval from the previous tick's interrupt (the first: from the TSC read before SetTimerPeriod)"
plot data using 1:2 with points pointtype 7 pointsize 0.6 linecolor rgb "#1f77b4" title "interval", \
     period with lines dashtype 2 linecolor rgb "#d62728" title "requested period"

lo = low(LEAD_min, period); hi = high(LEAD_max, period + cost)
set yrange [lo - margin(lo, hi) : hi + margin(lo, hi)]
set title "Deadline armed in each tick, measured from that tick's interrupt"
plot data using 1:3 with points pointtype 5 pointsize 0.6 linecolor rgb "#2ca02c" title "deadline - arrival", \
     period with lines dashtype 2 linecolor rgb "#d62728" title "period", \
     period + cost with lines dashtype 3 linecolor rgb "#ff7f0e" title "period + handler cost"

set title "Histogram of the intervals between ticks"
set xlabel "interval (TSC ticks)"
set ylabel "ticks"
set xrange [first - margin(first, last) : last + margin(first, last)]
set yrange [0 : COUNT_max * 1.1 + 1]
if (COUNT_max <= 10) { set ytics 1 }
set boxwidth width * 0.9 absolute
set style fill solid 0.6
set arrow 1 from period, graph 0 to period, graph 1 nohead dashtype 2 linecolor rgb "#d62728"
plot $Histogram using 1:2 with boxes linecolor rgb "#1f77b4" title "ticks", \
     NaN with lines dashtype 2 linecolor rgb "#d62728" title "requested period"
unset multiplot
